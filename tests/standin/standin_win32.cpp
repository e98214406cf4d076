#include <cstdio>
#include <cstdlib>
#include <winsock2.h>
#include <windows.h>

#include "standin_platform.h"

namespace {

SOCKET query_socket = INVALID_SOCKET;
bool honour_close = true;
bool close_came = false;

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    // The default handling of WM_CLOSE destroys the window; a stand-in that
    // ignores the request keeps it, so that a second request finds it too.
    if (message == WM_CLOSE) {
        close_came = close_came || honour_close;
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

} // namespace

void standin_read_facts(standin_facts& facts)
{
    DWORD pid = GetCurrentProcessId();
    DWORD session = 0;
    ProcessIdToSessionId(pid, &session);
    facts.process_id = pid;
    std::snprintf(facts.session, sizeof facts.session, "%lu", static_cast<unsigned long>(session));
    // Windows sessions have no leader; a console of its own is what counts
    // there, and the supervisor asks for one at every launch.
    std::snprintf(facts.leader, sizeof facts.leader, "-");
    std::snprintf(facts.input_null, sizeof facts.input_null, "-");
    std::snprintf(facts.sigpipe, sizeof facts.sigpipe, "-");
    std::snprintf(facts.sigxfsz, sizeof facts.sigxfsz, "-");
    std::snprintf(facts.blocked, sizeof facts.blocked, "-");
    std::snprintf(facts.descriptors, sizeof facts.descriptors, "-");
}

std::string standin_command_line(int, char**)
{
    return GetCommandLineA();
}

namespace {

struct thread_body {
    int (*body)(void*);
    void* context;
};

DWORD WINAPI run_body(LPVOID parameter)
{
    const thread_body* run = static_cast<const thread_body*>(parameter);
    ExitProcess(static_cast<UINT>(run->body(run->context)));
}

} // namespace

int standin_run(bool other_thread, int (*body)(void*), void* context)
{
    if (!other_thread) {
        return body(context);
    }
    static thread_body run = {body, context};
    HANDLE thread = CreateThread(nullptr, 0, run_body, &run, 0, nullptr);
    if (thread == nullptr) {
        return body(context);
    }
    CloseHandle(thread);
    // The first thread ends; the process lives on in the other.
    ExitThread(0);
}

void standin_sleep_ms(unsigned milliseconds)
{
    Sleep(milliseconds);
}

void standin_die_by_signal()
{
    // The exit code of an access violation, as a crashed server shows it.
    TerminateProcess(GetCurrentProcess(), 0xC0000005u);
    std::_Exit(3);
}

void standin_abort()
{
    std::abort();
}

void standin_leave_orphan()
{
}

bool standin_append(const std::string& path, const std::string& text)
{
    // Append access alone has every write land at the end of the file as
    // one piece, whoever else is appending.
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    bool complete = ok != FALSE && written == text.size();
    return CloseHandle(file) != FALSE && complete;
}

bool standin_process_exists(unsigned long process_id)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(process_id));
    if (process == nullptr) {
        // A process that exists but may not be looked at still exists.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD code = 0;
    bool alive = GetExitCodeProcess(process, &code) != FALSE && code == STILL_ACTIVE;
    CloseHandle(process);
    return alive;
}

const char* standin_prepare_polite_stop(bool honour, bool)
{
    honour_close = honour;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = "MOLVStandInServer";
    RegisterClassA(&window_class);
    // A top-level window, never shown: message-only windows are not among
    // those EnumWindows lists, and the supervisor looks there.
    HWND window = CreateWindowA("MOLVStandInServer", "MOLV stand-in server", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                nullptr, nullptr, instance, nullptr);
    return window != nullptr ? "1" : "0";
}

bool standin_polite_stop_came()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
        DispatchMessageA(&message);
    }
    return close_came;
}

bool standin_query_open(unsigned port)
{
    WSADATA data;
    if (port == 0 || port > 65535 || WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return false;
    }
    SOCKET socket_handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket_handle == INVALID_SOCKET) {
        return false;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(socket_handle), HANDLE_FLAG_INHERIT, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(socket_handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closesocket(socket_handle);
        return false;
    }
    query_socket = socket_handle;
    return true;
}

long standin_query_receive(char* buffer, std::size_t capacity, standin_peer& sender,
                           unsigned milliseconds)
{
    if (query_socket == INVALID_SOCKET) {
        Sleep(milliseconds);
        return -1;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(query_socket, &readable);
    timeval wait = {static_cast<long>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000L};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) {
        return -1;
    }
    sockaddr_in from = {};
    int from_length = sizeof from;
    int length = recvfrom(query_socket, buffer, static_cast<int>(capacity), 0,
                          reinterpret_cast<sockaddr*>(&from), &from_length);
    if (length < 0) {
        // A datagram too long for the buffer arrives cut; the report of an
        // earlier reply that found no listener is no datagram at all.
        if (WSAGetLastError() != WSAEMSGSIZE) {
            return -1;
        }
        length = static_cast<int>(capacity);
    }
    sender.address = ntohl(from.sin_addr.s_addr);
    sender.port = ntohs(from.sin_port);
    return length;
}

void standin_query_send(const char* data, std::size_t length, const standin_peer& to,
                        bool elsewhere)
{
    if (query_socket == INVALID_SOCKET) {
        return;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(to.port));
    address.sin_addr.s_addr = htonl(static_cast<u_long>(to.address));
    // The other socket is bound to no port: the system gives it one of its
    // own, never the query port.
    static SOCKET other_socket = INVALID_SOCKET;
    if (elsewhere && other_socket == INVALID_SOCKET) {
        other_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    }
    sendto(elsewhere ? other_socket : query_socket, data, static_cast<int>(length), 0,
           reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

bool standin_send_ctrl_c(unsigned long process_id)
{
    // A Ctrl+C reaches every process of the console it is generated in,
    // this one too, which lets it pass.
    FreeConsole();
    if (!AttachConsole(static_cast<DWORD>(process_id))) {
        return false;
    }
    SetConsoleCtrlHandler(nullptr, TRUE);
    const bool sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
    FreeConsole();
    return sent;
}
