// The on_event programs: started as the server is, but in MOLV's session,
// and not waited for; their process ids go to the owner of the children,
// which collects them when they end.
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/posix/children.h"
#include "platform/posix/launch.h"
#include "platform/posix/signals.h"

extern char** environ;

bool platform_run_event_program(const char* program, const char* event, const char* detail,
                                char* reason, std::size_t reason_capacity)
{
    if (!event_program_room()) {
        copy_text(reason, reason_capacity, "too many event programs are running");
        return false;
    }
    char* const arguments[] = {const_cast<char*>(program), const_cast<char*>(event),
                               const_cast<char*>(detail), nullptr};
    // It shares MOLV's session and terminal.
    int error = 0;
    const pid_t pid = start_program(program, arguments, false, error);
    if (pid < 0) {
        copy_text(reason, reason_capacity, std::strerror(error));
        return false;
    }
    keep_event_program(pid);
    return true;
}

bool platform_event_program_found(const char* program)
{
    struct stat status;
    return stat(program, &status) == 0 && !S_ISDIR(status.st_mode);
}

bool platform_wait_event_programs_until(unsigned long long deadline_ms)
{
    const sigset_t waiting_mask = waiting_signal_mask();
    while (platform_event_programs_running() != 0) {
        const unsigned long long now = platform_monotonic_ms();
        if (now >= deadline_ms) {
            return false;
        }
        // Their end (SIGCHLD) cuts the wait short.
        const unsigned long long left = deadline_ms - now;
        const timespec span = {static_cast<time_t>(left / 1000),
                               static_cast<long>(left % 1000) * 1000000L};
        ppoll(nullptr, 0, &span, &waiting_mask);
    }
    return true;
}
