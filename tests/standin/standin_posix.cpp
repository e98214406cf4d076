#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "standin_platform.h"

namespace {

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
