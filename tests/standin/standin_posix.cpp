#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cerrno>
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

void standin_abort()
{
    // A crash of the stand-in should not litter the directory with core files.
    rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    std::abort();
}
