// The watchdog's UDP socket: status queries to the server's query port and
// the answers that come back.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/posix/waitables.h"

namespace {

int query_socket = -1;
sockaddr_in server_address = {};

} // namespace

int query_descriptor()
{
    return query_socket;
}

bool platform_query_open(unsigned long address, unsigned short port, char* reason,
                         std::size_t reason_capacity)
{
    platform_query_close();
    const int opened = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (opened < 0) {
        copy_text(reason, reason_capacity, std::strerror(errno));
        return false;
    }
    server_address = {};
    server_address.sin_family = AF_INET;
    server_address.sin_port = htons(port);
    server_address.sin_addr.s_addr = htonl(static_cast<uint32_t>(address));
    query_socket = opened;
    return true;
}

void platform_query_send()
{
    if (query_socket < 0) {
        return;
    }
    static const char query[] = "\\info\\";
    sendto(query_socket, query, sizeof query - 1, MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&server_address), sizeof server_address);
}

bool platform_query_answered(char* answer, std::size_t capacity, std::size_t* length)
{
    bool answered = false;
    if (length != nullptr) {
        *length = 0;
    }
    while (query_socket >= 0) {
        char datagram[1500];
        sockaddr_in sender = {};
        socklen_t sender_length = sizeof sender;
        const ssize_t got = recvfrom(query_socket, datagram, sizeof datagram, 0,
                                     reinterpret_cast<sockaddr*>(&sender), &sender_length);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Nothing more waits; an error is no answer.
            break;
        }
        if (sender_length >= sizeof sender && sender.sin_family == AF_INET &&
            sender.sin_addr.s_addr == server_address.sin_addr.s_addr &&
            sender.sin_port == server_address.sin_port) {
            answered = true;
            const std::size_t size = static_cast<std::size_t>(got);
            const std::size_t kept = size < capacity ? size : capacity;
            if (answer != nullptr && length != nullptr) {
                std::memcpy(answer, datagram, kept);
                *length = kept;
            }
        }
    }
    return answered;
}

void platform_query_close()
{
    if (query_socket >= 0) {
        close(query_socket);
        query_socket = -1;
    }
}
