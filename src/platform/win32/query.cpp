// The query socket of the hang watchdog through Windows Sockets. WS2_32 is
// loaded when a socket is first opened, so that a MOLV without the watchdog
// keeps to the libraries it started with. The socket signals an event of
// MOLV's own, which the wait for the server watches; asking for that also
// makes the socket non-blocking.
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/library.h"
#include "platform/win32/reason.h"
#include "platform/win32/waitables.h"

namespace {

using startup_function = int(WSAAPI*)(WORD, LPWSADATA);
using socket_function = SOCKET(WSAAPI*)(int, int, int);
using bind_function = int(WSAAPI*)(SOCKET, const sockaddr*, int);
using close_function = int(WSAAPI*)(SOCKET);
using send_to_function = int(WSAAPI*)(SOCKET, const char*, int, int, const sockaddr*, int);
using receive_from_function = int(WSAAPI*)(SOCKET, char*, int, int, sockaddr*, int*);
using event_select_function = int(WSAAPI*)(SOCKET, WSAEVENT, long);
using network_events_function = int(WSAAPI*)(SOCKET, WSAEVENT, LPWSANETWORKEVENTS);
using last_error_function = int(WSAAPI*)();

struct socket_functions {
    bool loaded;
    bool started;
    startup_function startup;
    socket_function open_socket;
    bind_function bind_socket;
    close_function close_socket;
    send_to_function send_to;
    receive_from_function receive_from;
    event_select_function event_select;
    network_events_function network_events;
    last_error_function last_error;
};

socket_functions ws2 = {};

SOCKET query_socket = INVALID_SOCKET;
HANDLE socket_event = nullptr;
sockaddr_in queried = {};

// Datagrams read in one call at most: a flood of them must not hold up the
// supervision. Those left over signal the event again.
constexpr int reads_per_call = 64;

// The largest UDP datagram fits whole, so no answer is ever cut.
char datagram[65536];

bool load_socket_functions(char* reason, std::size_t reason_capacity)
{
    if (!ws2.loaded) {
        HMODULE library = load_system_library("ws2_32.dll");
        if (library == nullptr) {
            system_reason(GetLastError(), reason, reason_capacity, "ws2_32.dll");
            return false;
        }
        ws2.startup = system_function<startup_function>(library, "WSAStartup");
        ws2.open_socket = system_function<socket_function>(library, "socket");
        ws2.bind_socket = system_function<bind_function>(library, "bind");
        ws2.close_socket = system_function<close_function>(library, "closesocket");
        ws2.send_to = system_function<send_to_function>(library, "sendto");
        ws2.receive_from = system_function<receive_from_function>(library, "recvfrom");
        ws2.event_select = system_function<event_select_function>(library, "WSAEventSelect");
        ws2.network_events =
            system_function<network_events_function>(library, "WSAEnumNetworkEvents");
        ws2.last_error = system_function<last_error_function>(library, "WSAGetLastError");
        if (ws2.startup == nullptr || ws2.open_socket == nullptr || ws2.bind_socket == nullptr ||
            ws2.close_socket == nullptr || ws2.send_to == nullptr ||
            ws2.receive_from == nullptr || ws2.event_select == nullptr ||
            ws2.network_events == nullptr || ws2.last_error == nullptr) {
            system_reason(ERROR_PROC_NOT_FOUND, reason, reason_capacity);
            return false;
        }
        ws2.loaded = true;
    }
    if (!ws2.started) {
        WSADATA data;
        const int error = ws2.startup(MAKEWORD(2, 2), &data);
        if (error != 0) {
            system_reason(static_cast<DWORD>(error), reason, reason_capacity);
            return false;
        }
        ws2.started = true;
    }
    return true;
}

// An IPv4 address and port in network byte order, written byte by byte so
// that no conversion function is needed.
sockaddr_in socket_address(unsigned long address, unsigned short port)
{
    sockaddr_in result = {};
    result.sin_family = AF_INET;
    const unsigned char port_bytes[2] = {static_cast<unsigned char>(port >> 8),
                                         static_cast<unsigned char>(port & 0xFFu)};
    const unsigned char address_bytes[4] = {static_cast<unsigned char>(address >> 24 & 0xFFu),
                                            static_cast<unsigned char>(address >> 16 & 0xFFu),
                                            static_cast<unsigned char>(address >> 8 & 0xFFu),
                                            static_cast<unsigned char>(address & 0xFFu)};
    std::memcpy(&result.sin_port, port_bytes, sizeof port_bytes);
    std::memcpy(&result.sin_addr, address_bytes, sizeof address_bytes);
    return result;
}

void fail_open(DWORD error, char* reason, std::size_t reason_capacity)
{
    system_reason(error, reason, reason_capacity);
    platform_query_close();
}

} // namespace

HANDLE query_wait_event()
{
    return query_socket != INVALID_SOCKET ? socket_event : nullptr;
}

bool platform_query_open(unsigned long address, unsigned short port, char* reason,
                         std::size_t reason_capacity)
{
    platform_query_close();
    if (!load_socket_functions(reason, reason_capacity)) {
        return false;
    }
    query_socket = ws2.open_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (query_socket == INVALID_SOCKET) {
        fail_open(static_cast<DWORD>(ws2.last_error()), reason, reason_capacity);
        return false;
    }
    // The server is started with handle inheritance on; it must not get
    // MOLV's socket.
    if (!SetHandleInformation(reinterpret_cast<HANDLE>(query_socket), HANDLE_FLAG_INHERIT, 0)) {
        fail_open(GetLastError(), reason, reason_capacity);
        return false;
    }
    // Bound at once, so that reading never meets a socket without an
    // address, whatever happened to the first send.
    const sockaddr_in local = socket_address(0, 0);
    if (ws2.bind_socket(query_socket, reinterpret_cast<const sockaddr*>(&local),
                        static_cast<int>(sizeof local)) != 0) {
        fail_open(static_cast<DWORD>(ws2.last_error()), reason, reason_capacity);
        return false;
    }
    socket_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (socket_event == nullptr) {
        fail_open(GetLastError(), reason, reason_capacity);
        return false;
    }
    if (ws2.event_select(query_socket, socket_event, FD_READ) != 0) {
        fail_open(static_cast<DWORD>(ws2.last_error()), reason, reason_capacity);
        return false;
    }
    queried = socket_address(address, port);
    return true;
}

void platform_query_send()
{
    if (query_socket == INVALID_SOCKET) {
        return;
    }
    static const char query[] = "\\info\\";
    ws2.send_to(query_socket, query, static_cast<int>(sizeof query - 1), 0,
                reinterpret_cast<const sockaddr*>(&queried), static_cast<int>(sizeof queried));
}

bool platform_query_answered(char* answer, std::size_t capacity, std::size_t* length)
{
    if (length != nullptr) {
        *length = 0;
    }
    if (query_socket == INVALID_SOCKET) {
        return false;
    }
    // The event is reset before reading, so that a datagram that comes
    // after the last read signals it again.
    WSANETWORKEVENTS happened;
    ws2.network_events(query_socket, socket_event, &happened);
    bool answered = false;
    for (int read = 0; read < reads_per_call; ++read) {
        sockaddr_in sender = {};
        int sender_size = static_cast<int>(sizeof sender);
        const int length_read =
            ws2.receive_from(query_socket, datagram, static_cast<int>(sizeof datagram), 0,
                             reinterpret_cast<sockaddr*>(&sender), &sender_size);
        if (length_read >= 0) {
            if (sender.sin_family == AF_INET &&
                std::memcmp(&sender.sin_port, &queried.sin_port, sizeof sender.sin_port) == 0 &&
                std::memcmp(&sender.sin_addr, &queried.sin_addr, sizeof sender.sin_addr) == 0) {
                answered = true;
                const std::size_t size = static_cast<std::size_t>(length_read);
                const std::size_t kept = size < capacity ? size : capacity;
                if (answer != nullptr && length != nullptr) {
                    std::memcpy(answer, datagram, kept);
                    *length = kept;
                }
            }
            continue;
        }
        // A "port unreachable" for an earlier query comes as a reset or a
        // refusal: no answer, and the next datagram may still be waiting.
        const int error = ws2.last_error();
        if (error != WSAECONNRESET && error != WSAECONNREFUSED && error != WSAENETRESET &&
            error != WSAEHOSTUNREACH && error != WSAENETUNREACH && error != WSAEMSGSIZE) {
            break;
        }
    }
    return answered;
}

void platform_query_close()
{
    if (query_socket != INVALID_SOCKET) {
        ws2.close_socket(query_socket);
        query_socket = INVALID_SOCKET;
    }
    if (socket_event != nullptr) {
        CloseHandle(socket_event);
        socket_event = nullptr;
    }
}
