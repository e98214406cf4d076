#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cerrno>
#include <cstdint>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "standin_platform.h"

namespace {

int query_socket = -1;

volatile sig_atomic_t stop_came = 0;

void note_stop(int)
{
    stop_came = 1;
}

// True when standard input is the character device /dev/null.
bool input_is_null_device()
{
    struct stat input;
    struct stat null_device;
    if (fstat(STDIN_FILENO, &input) != 0 || stat("/dev/null", &null_device) != 0) {
        return false;
    }
    return S_ISCHR(input.st_mode) && input.st_rdev == null_device.st_rdev;
}

const char* disposition(int signal_number)
{
    struct sigaction action;
    if (sigaction(signal_number, nullptr, &action) != 0) {
        return "-";
    }
    if (action.sa_handler == SIG_DFL) {
        return "default";
    }
    return action.sa_handler == SIG_IGN ? "ignored" : "caught";
}

int blocked_signals()
{
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    int count = 0;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        count += sigismember(&mask, signal_number) == 1 ? 1 : 0;
    }
    return count;
}

// The open descriptors below 1024, separated by commas; they are read
// first thing, before the stand-in opens any of its own.
void list_descriptors(char* list, std::size_t capacity)
{
    std::size_t used = 0;
    list[0] = '\0';
    for (int fd = 0; fd < 1024 && used < capacity; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            int written = std::snprintf(list + used, capacity - used, used == 0 ? "%d" : ",%d", fd);
            used += written > 0 ? static_cast<std::size_t>(written) : 0;
        }
    }
}

} // namespace

void standin_read_facts(standin_facts& facts)
{
    pid_t pid = getpid();
    pid_t session = getsid(0);
    facts.process_id = static_cast<unsigned long>(pid);
    std::snprintf(facts.session, sizeof facts.session, "%ld", static_cast<long>(session));
    std::snprintf(facts.leader, sizeof facts.leader, "%s", session == pid ? "1" : "0");
    std::snprintf(facts.input_null, sizeof facts.input_null, "%s",
                  input_is_null_device() ? "1" : "0");
    std::snprintf(facts.sigpipe, sizeof facts.sigpipe, "%s", disposition(SIGPIPE));
    std::snprintf(facts.sigxfsz, sizeof facts.sigxfsz, "%s", disposition(SIGXFSZ));
    std::snprintf(facts.blocked, sizeof facts.blocked, "%d", blocked_signals());
    list_descriptors(facts.descriptors, sizeof facts.descriptors);
}

std::string standin_command_line(int argc, char** argv)
{
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) {
            line += ' ';
        }
        line += argv[i];
    }
    return line;
}

void standin_sleep_ms(unsigned milliseconds)
{
    timespec remaining = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

int standin_run(bool, int (*body)(void*), void* context)
{
    return body(context);
}

void standin_die_by_signal()
{
    // SIGKILL cannot be caught and leaves no core file.
    raise(SIGKILL);
    std::_Exit(137);
}

void standin_leave_orphan()
{
    const pid_t parent = getpid();
    if (fork() == 0) {
        // The query port belongs to the stand-in alone; a left-behind
        // process must not keep it.
        if (query_socket >= 0) {
            close(query_socket);
        }
        while (getppid() == parent) {
            standin_sleep_ms(20);
        }
        _exit(0);
    }
}

void standin_abort()
{
    // A crash of the stand-in should not litter the directory with core files.
    rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    std::abort();
}

bool standin_append(const std::string& path, const std::string& text)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    ssize_t written;
    do {
        written = write(fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    bool complete = written >= 0 && static_cast<std::size_t>(written) == text.size();
    return close(fd) == 0 && complete;
}

bool standin_process_exists(unsigned long process_id)
{
    // 0 and what does not fit a pid_t would name a group or nothing at all.
    if (process_id == 0 || process_id > 0x7fffffffUL) {
        return false;
    }
    return kill(static_cast<pid_t>(process_id), 0) == 0 || errno == EPERM;
}

const char* standin_prepare_polite_stop(bool honour, bool caught)
{
    // Honouring leaves SIGTERM as the stand-in got it, so that a supervisor
    // that started it with SIGTERM ignored is found out.
    if (!honour || caught) {
        struct sigaction action = {};
        action.sa_handler = honour ? note_stop : SIG_IGN;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, nullptr);
    }
    return "-";
}

bool standin_polite_stop_came()
{
    return stop_came != 0;
}

bool standin_query_open(unsigned port)
{
    if (port == 0 || port > 65535) {
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return false;
    }
    query_socket = fd;
    return true;
}

long standin_query_receive(char* buffer, std::size_t capacity, standin_peer& sender,
                           unsigned milliseconds)
{
    if (query_socket < 0) {
        standin_sleep_ms(milliseconds);
        return -1;
    }
    pollfd waiting = {query_socket, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(milliseconds)) <= 0) {
        return -1;
    }
    sockaddr_in from = {};
    socklen_t from_length = sizeof from;
    ssize_t length = recvfrom(query_socket, buffer, capacity, MSG_DONTWAIT,
                              reinterpret_cast<sockaddr*>(&from), &from_length);
    if (length < 0 || from.sin_family != AF_INET) {
        return -1;
    }
    sender.address = ntohl(from.sin_addr.s_addr);
    sender.port = ntohs(from.sin_port);
    return static_cast<long>(length);
}

void standin_query_send(const char* data, std::size_t length, const standin_peer& to,
                        bool elsewhere)
{
    if (query_socket < 0) {
        return;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(to.port));
    address.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(to.address));
    // The other socket is bound to no port: the system gives it one of its
    // own, never the query port.
    static int other_socket = -1;
    if (elsewhere && other_socket < 0) {
        other_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    sendto(elsewhere ? other_socket : query_socket, data, length, 0,
           reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

bool standin_send_ctrl_c(unsigned long process_id)
{
    return process_id != 0 && process_id <= 0x7fffffffUL &&
           kill(static_cast<pid_t>(process_id), SIGINT) == 0;
}
