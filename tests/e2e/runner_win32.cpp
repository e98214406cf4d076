// The runner's process operations on Windows: CreateProcessA with inherited
// handles for molv's output, WaitForSingleObject and GetExitCodeProcess for
// its end, TerminateProcess to stop it, GetProcessHandleCount for what it
// holds. Sessions, zombies and pseudo-terminals have no counterpart here, so
// the operations marked "POSIX only" are left out. The folder molv runs in is
// taken as UTF-8, so that a test may name it in any script; a path that is
// no UTF-8 is taken in the ANSI code page.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstddef>
#include <cstring>

#include "runner.h"

namespace {

// The runner's environment without any stand-in settings of its own (so
// every test says what it wants), with the launch's additions after it, as
// the block CreateProcessA takes: each "NAME=value" ended by a null byte,
// and one more null byte at the end.
std::string environment_block(const std::vector<std::string>& additions)
{
    std::string block;
    char* current = GetEnvironmentStringsA();
    if (current != nullptr) {
        for (const char* entry = current; *entry != '\0'; entry += std::strlen(entry) + 1) {
            if (std::strncmp(entry, "MOLV_STANDIN_", 13) != 0) {
                block.append(entry);
                block.push_back('\0');
            }
        }
        FreeEnvironmentStringsA(current);
    }
    for (const std::string& entry : additions) {
        block.append(entry);
        block.push_back('\0');
    }
    block.push_back('\0');
    return block;
}

// The absolute form of a path, with the long names of its folders where
// the path exists; empty when it cannot be formed.
std::string full_path(const std::string& path)
{
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) {
        return "";
    }
    char long_form[MAX_PATH];
    length = GetLongPathNameA(full, long_form, sizeof long_form);
    if (length == 0 || length >= sizeof long_form) {
        return full;
    }
    return long_form;
}

// The absolute form of a wide path with the long names of its folders, as
// the system resolves it where it exists, for comparing the spellings of
// one folder; empty when it cannot be formed.
std::wstring resolved_path(const std::wstring& path)
{
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    wchar_t resolved[32768];
    DWORD length = 0;
    if (handle != INVALID_HANDLE_VALUE) {
        length = GetFinalPathNameByHandleW(handle, resolved, 32768, VOLUME_NAME_DOS);
        CloseHandle(handle);
    }
    if (length == 0 || length >= 32768) {
        length = GetFullPathNameW(path.c_str(), 32768, resolved, nullptr);
    }
    if (length == 0 || length >= 32768) {
        return L"";
    }
    std::wstring result(resolved, length);
    while (result.size() > 1 && (result.back() == L'\\' || result.back() == L'/')) {
        result.pop_back();
    }
    return result;
}

// Whether two wide paths name the same folder, compared without case.
bool same_folder(const std::wstring& one, const std::wstring& other)
{
    const std::wstring a = resolved_path(one);
    const std::wstring b = resolved_path(other);
    return !a.empty() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Starts `program` with `command_line` in `directory`, with its standard
// output and error going to `output` and its standard input reading
// `input`. The handles must be inheritable.
bool start_with_handles(const std::string& program, const std::string& command_line,
                        const std::string& directory, std::string& environment,
                        HANDLE input, HANDLE output, PROCESS_INFORMATION& started,
                        DWORD flags = 0)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    const std::wstring wide_program = wide_text(program);
    std::wstring line = wide_text(command_line);
    const std::wstring folder = wide_text(directory);
    // A console of its own without a window: molv sets its title and colours
    // there, as in an operator's console, and not in the runner's. The
    // environment stays in the ANSI code page.
    return CreateProcessW(wide_program.c_str(), &line[0], nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW | flags,
                          environment.empty() ? nullptr : &environment[0],
                          directory.empty() ? nullptr : folder.c_str(), &startup,
                          &started) != 0;
}

// A job that ends every process in it when its last handle closes, and lets
// a process started in it leave it, as a service wrapper makes one; nullptr
// when it cannot be made. Not inheritable: it is the runner's alone.
HANDLE make_wrapper_job()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (job != nullptr && !SetInformationJobObject(job, JobObjectExtendedLimitInformation,
                                                   &limits, sizeof limits)) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

HANDLE open_output(const std::string& path)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    // Shared for reading, so the tests read the output while molv runs.
    return CreateFileA(path.c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE open_null_device()
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    return CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Marks `process` ended: by itself (`exited`), or stopped by the runner.
void collect(molv_process& process, bool exited)
{
    HANDLE handle = static_cast<HANDLE>(process.handle);
    DWORD code = 0;
    process.ended = true;
    process.exited = exited;
    process.exit_code = exited && GetExitCodeProcess(handle, &code) != 0
                            ? static_cast<int>(code)
                            : -1;
    CloseHandle(handle);
    process.handle = nullptr;
    if (process.wrapper_job != nullptr) {
        CloseHandle(static_cast<HANDLE>(process.wrapper_job));
        process.wrapper_job = nullptr;
    }
}

// One entry of the system's table of all open handles, and the table, as
// NtQuerySystemInformation gives them for SystemExtendedHandleInformation.
struct system_handle_entry {
    void* object;
    ULONG_PTR process_id;
    ULONG_PTR handle_value;
    ULONG granted_access;
    USHORT creator_back_trace_index;
    USHORT object_type_index;
    ULONG handle_attributes;
    ULONG reserved;
};

struct system_handle_table {
    ULONG_PTR count;
    ULONG_PTR reserved;
    system_handle_entry entries[1];
};

// The number of handles the process `id` holds by the system's table of
// all handles, or -1 when the table cannot be read; with a `value`, only
// inheritable handles of that value count.
int handles_in_system_table(unsigned long id, ULONG_PTR value = 0)
{
    using query_function = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const ULONG extended_handle_information = 64;
    const LONG length_mismatch = static_cast<LONG>(0xC0000004L);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    FARPROC found = ntdll != nullptr ? GetProcAddress(ntdll, "NtQuerySystemInformation") : nullptr;
    if (found == nullptr) {
        return -1;
    }
    query_function query = reinterpret_cast<query_function>(reinterpret_cast<void*>(found));
    // Handles come and go while the table is read; it is read again into
    // a larger buffer until it fits.
    std::vector<ULONG_PTR> buffer(8192);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
        ULONG needed = 0;
        LONG status = query(extended_handle_information, buffer.data(), size, &needed);
        if (status == length_mismatch) {
            buffer.resize(buffer.size() * 2 + needed / sizeof(ULONG_PTR));
            continue;
        }
        if (status != 0) {
            return -1;
        }
        const system_handle_table* table =
            reinterpret_cast<const system_handle_table*>(buffer.data());
        const std::size_t room = (size - offsetof(system_handle_table, entries)) /
                                 sizeof(system_handle_entry);
        const std::size_t entries = table->count < room ? table->count : room;
        int count = 0;
        for (std::size_t i = 0; i < entries; ++i) {
            const system_handle_entry& entry = table->entries[i];
            // OBJ_INHERIT
            const bool wanted = value == 0 || (entry.handle_value == value &&
                                               (entry.handle_attributes & 2) != 0);
            count += entry.process_id == id && wanted ? 1 : 0;
        }
        return count;
    }
    return -1;
}

// Makes the test program's window, says so, and answers the window's
// messages, so that nothing sent to every window waits on it.
DWORD WINAPI hold_window(void* made)
{
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "MOLVEndToEndTests";
    RegisterClassA(&window_class);
    const HWND window = CreateWindowA("MOLVEndToEndTests", "MOLV end-to-end tests",
                                      WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                      CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                      window_class.hInstance, nullptr);
    SetEvent(static_cast<HANDLE>(made));
    MSG message;
    while (window != nullptr && GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    return 0;
}

} // namespace

// `text` in wide characters: from UTF-8 where it is that, else from the
// ANSI code page.
std::wstring wide_text(const std::string& text)
{
    for (UINT code_page : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD flags = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int length = MultiByteToWideChar(code_page, flags, text.data(),
                                               static_cast<int>(text.size()), nullptr, 0);
        if (length > 0 || text.empty()) {
            std::wstring wide(static_cast<std::size_t>(length), L'\0');
            MultiByteToWideChar(code_page, flags, text.data(), static_cast<int>(text.size()),
                                &wide[0], length);
            return wide;
        }
    }
    return L"";
}

void prepare_test_run()
{
    // The window is there before the first test starts anything. Without a
    // display it cannot be made, and there is no desktop either.
    HANDLE made = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (made == nullptr) {
        return;
    }
    HANDLE thread = CreateThread(nullptr, 0, hold_window, made, 0, nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(made, INFINITE);
        CloseHandle(thread);
    }
    CloseHandle(made);
}

int inheritable_handles_of_value(long id, void* value)
{
    return handles_in_system_table(static_cast<unsigned long>(id),
                                   reinterpret_cast<ULONG_PTR>(value));
}

bool start_molv(const molv_launch& launch, molv_process& process)
{
    // The launch is refused rather than run without what it asks for and
    // Windows has no means to give: a file size limit, closed or piped
    // standard handles, an inherited descriptor, or namespaces.
    if (launch.file_size_limit > 0 || launch.standard_closed || launch.reader_lines > 0 ||
        launch.inherited_descriptor >= 0 || launch.isolation != isolation_kind::none) {
        return false;
    }
    const std::string program = full_path(molv_program);
    std::string environment = environment_block(launch.environment);
    HANDLE output = open_output(launch.output_path);
    if (output == INVALID_HANDLE_VALUE) {
        return false;
    }
    // No input at all is an invalid handle, which reads as nothing. A null
    // handle would not do: a console program given one reads its console's
    // keyboard instead, and "pause" would wait for a key nobody presses.
    HANDLE input = INVALID_HANDLE_VALUE;
    if (launch.input == input_kind::null_device) {
        input = open_null_device();
        if (input == INVALID_HANDLE_VALUE) {
            CloseHandle(output);
            return false;
        }
    }
    std::string command_line = "\"" + program + "\"";
    for (const std::string& argument : launch.arguments) {
        command_line += " " + argument;
    }
    HANDLE wrapper = launch.in_wrapper_job ? make_wrapper_job() : nullptr;
    if (launch.in_wrapper_job && wrapper == nullptr) {
        CloseHandle(output);
        if (input != INVALID_HANDLE_VALUE) {
            CloseHandle(input);
        }
        return false;
    }
    // In the wrapper's job before it runs at all.
    PROCESS_INFORMATION started = {};
    bool ok = start_with_handles(program, command_line, launch.directory, environment, input,
                                 output, started, wrapper != nullptr ? CREATE_SUSPENDED : 0);
    CloseHandle(output);
    if (input != INVALID_HANDLE_VALUE) {
        CloseHandle(input);
    }
    if (ok && wrapper != nullptr && !AssignProcessToJobObject(wrapper, started.hProcess)) {
        TerminateProcess(started.hProcess, 1);
        WaitForSingleObject(started.hProcess, INFINITE);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        ok = false;
    }
    if (!ok) {
        if (wrapper != nullptr) {
            CloseHandle(wrapper);
        }
        return false;
    }
    if (wrapper != nullptr) {
        ResumeThread(started.hThread);
    }
    CloseHandle(started.hThread);
    process = molv_process{};
    process.id = static_cast<long>(started.dwProcessId);
    process.handle = started.hProcess;
    process.wrapper_job = wrapper;
    return true;
}

void end_wrapper_job(molv_process& process)
{
    if (process.wrapper_job == nullptr) {
        return;
    }
    // Its last handle: the system ends every process still in it.
    CloseHandle(static_cast<HANDLE>(process.wrapper_job));
    process.wrapper_job = nullptr;
    wait_for_end(process, 60.0);
}

bool wait_for_end(molv_process& process, double seconds)
{
    if (process.ended || process.handle == nullptr) {
        return process.ended;
    }
    const double milliseconds = seconds * 1000.0;
    const DWORD wait = milliseconds <= 0.0 ? 0
                       : milliseconds >= 4.0e9 ? INFINITE - 1
                                              : static_cast<DWORD>(milliseconds);
    if (WaitForSingleObject(static_cast<HANDLE>(process.handle), wait) == WAIT_OBJECT_0) {
        collect(process, true);
    }
    return process.ended;
}

void stop_molv(molv_process& process)
{
    if (process.ended || process.handle == nullptr) {
        return;
    }
    HANDLE handle = static_cast<HANDLE>(process.handle);
    // An end that came first counts as molv's own.
    if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) {
        collect(process, true);
        return;
    }
    TerminateProcess(handle, 1);
    // Termination completes asynchronously; its files stay open until then.
    WaitForSingleObject(handle, INFINITE);
    collect(process, false);
}

bool send_ctrl_c(const molv_process& process)
{
    if (process.ended || process.id <= 0) {
        return false;
    }
    // The helper has a console of its own to leave, and none of the
    // runner's handles.
    const std::string program = full_path(standin_program);
    std::string line = "\"" + program + "\" --ctrl-c " + std::to_string(process.id);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &started)) {
        return false;
    }
    CloseHandle(started.hThread);
    DWORD code = 1;
    if (WaitForSingleObject(started.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(started.hProcess, 1);
        WaitForSingleObject(started.hProcess, INFINITE);
    } else if (!GetExitCodeProcess(started.hProcess, &code)) {
        code = 1;
    }
    CloseHandle(started.hProcess);
    return code == 0;
}

long own_process_id()
{
    return static_cast<long>(GetCurrentProcessId());
}

int open_descriptor_count(long id)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 static_cast<DWORD>(id));
    if (process == nullptr) {
        return -1;
    }
    DWORD count = 0;
    BOOL known = GetProcessHandleCount(process, &count);
    CloseHandle(process);
    // A running process holds some handles at least, so a count of none
    // means the system does not keep the count (Wine says 0 for every
    // process); the system's table of all handles answers then.
    if (known && count > 0) {
        return static_cast<int>(count);
    }
    return handles_in_system_table(static_cast<unsigned long>(id));
}

void stop_server(long id, const std::string& directory)
{
    if (id <= 0) {
        return;
    }
    HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION |
                                     SYNCHRONIZE,
                                 FALSE, static_cast<DWORD>(id));
    if (process == nullptr) {
        return;
    }
    // A process id may be reused once its process has ended: only a running
    // program whose file lies in `directory` is the server.
    wchar_t image[32768];
    DWORD length = 32768;
    bool here = false;
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
        QueryFullProcessImageNameW(process, 0, image, &length) != 0) {
        std::wstring folder(image, length);
        const std::size_t separator = folder.find_last_of(L"\\/");
        folder = separator == std::wstring::npos ? L"" : folder.substr(0, separator);
        here = !folder.empty() && same_folder(folder, wide_text(directory));
    }
    if (here) {
        TerminateProcess(process, 1);
        // The program's file cannot be removed before the process is gone.
        WaitForSingleObject(process, 10000);
    }
    CloseHandle(process);
}

void stop_programs_in(const std::string& directory)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more != FALSE;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) {
            continue;
        }
        // The console hosts this test program started for its molvs: one
        // that outlives its console's programs (Wine) would keep the test
        // run's output open as well.
        if (entry.th32ParentProcessID == GetCurrentProcessId() &&
            lstrcmpiW(entry.szExeFile, L"conhost.exe") == 0) {
            const HANDLE host = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
            if (host != nullptr) {
                TerminateProcess(host, 1);
                CloseHandle(host);
            }
            continue;
        }
        stop_server(static_cast<long>(entry.th32ProcessID), directory);
    }
    CloseHandle(snapshot);
}

unsigned free_udp_port()
{
    static bool started = false;
    if (!started) {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        if (!started) {
            return 0;
        }
    }
    const SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET) {
        return 0;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    unsigned port = 0;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    closesocket(probe);
    return port;
}

bool make_temporary_directory(std::string& path)
{
    char base[MAX_PATH];
    DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length >= sizeof base) {
        return false;
    }
    static unsigned serial = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string candidate = std::string(base) + "molv-e2e-" +
                                      std::to_string(GetCurrentProcessId()) + "-" +
                                      std::to_string(++serial);
        if (CreateDirectoryA(candidate.c_str(), nullptr) != 0) {
            path = full_path(candidate);
            return !path.empty();
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

bool set_modified_ago(const std::string& path, long long seconds)
{
    // A folder opens only with the backup flag.
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value;
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    value.QuadPart -= static_cast<ULONGLONG>(seconds) * 10000000ULL;
    FILETIME then;
    then.dwLowDateTime = value.LowPart;
    then.dwHighDateTime = value.HighPart;
    const bool set = SetFileTime(file, nullptr, &then, &then) != 0;
    CloseHandle(file);
    return set;
}

std::string read_output(const std::string& path)
{
    // Console programs end their lines with CR LF once written to a file.
    const std::string raw = read_file(path);
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) {
            text += raw[i];
        }
    }
    return text;
}

std::string pause_prompt()
{
    // molv runs the command interpreter's own "pause", whose prompt differs
    // between Windows and Wine; so the interpreter is asked once, the way
    // molv runs it, with input that ends at once.
    static std::string prompt;
    static bool known = false;
    if (known) {
        return prompt;
    }
    char interpreter[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("ComSpec", interpreter, sizeof interpreter);
    std::string program = length > 0 && length < sizeof interpreter ? interpreter : "";
    if (program.empty()) {
        char system_folder[MAX_PATH];
        length = GetSystemDirectoryA(system_folder, sizeof system_folder);
        if (length == 0 || length >= sizeof system_folder) {
            return prompt;
        }
        program = std::string(system_folder) + "\\cmd.exe";
    }
    std::string folder;
    if (!make_temporary_directory(folder)) {
        return prompt;
    }
    const std::string output_path = folder + "\\pause.txt";
    HANDLE output = open_output(output_path);
    HANDLE input = open_null_device();
    std::string environment;
    PROCESS_INFORMATION started = {};
    if (output != INVALID_HANDLE_VALUE && input != INVALID_HANDLE_VALUE &&
        start_with_handles(program, "cmd.exe /c pause", "", environment, input, output,
                           started)) {
        CloseHandle(started.hThread);
        if (WaitForSingleObject(started.hProcess, 60000) == WAIT_OBJECT_0) {
            prompt = read_output(output_path);
            known = true;
        } else {
            TerminateProcess(started.hProcess, 1);
            WaitForSingleObject(started.hProcess, INFINITE);
        }
        CloseHandle(started.hProcess);
    }
    if (output != INVALID_HANDLE_VALUE) {
        CloseHandle(output);
    }
    if (input != INVALID_HANDLE_VALUE) {
        CloseHandle(input);
    }
    remove_tree(folder);
    return prompt;
}

std::vector<std::string> expected_server_arguments(const std::string&,
                                                   const std::string& command_line)
{
    // The runtime splits the line at blanks, honouring quotes and the
    // backslashes before them; the lines of the tests hold neither, so the
    // blanks alone decide, the executable's own included.
    return blank_separated_words(command_line);
}

std::string full_path_of(const std::string& path)
{
    return full_path(path);
}

std::string metrics_problems(const std::string& path)
{
    char folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("MOLV_E2E_STATUS_COPIES", folder, sizeof folder);
    if (length == 0 || length >= sizeof folder) {
        return "";
    }
    CreateDirectoryA(folder, nullptr);
    static unsigned serial = 0;
    const std::string copy = std::string(folder) + "\\status-" +
                             std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(++serial) + ".prom";
    if (!CopyFileA(path.c_str(), copy.c_str(), FALSE)) {
        return "could not keep a copy for promtool in " + copy;
    }
    return "";
}
