// What is left of the server's session: found in /proc (field 6 of
// /proc/N/stat is the session, field 5 the process group), and stopped as
// the server is stopped. MOLV is its children's subreaper, so when the
// group is empty and no unknown child of MOLV's runs, nothing can be left
// and /proc is not read at all.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/children.h"
#include "platform/posix/session.h"
#include "platform/posix/signals.h"

namespace {

pid_t watched_session = 0;

// Whether the orphans of the session come to MOLV.
bool orphans_come_here = true;

// The processes found by the last look; a session larger than this is
// looked at again after those have gone.
constexpr unsigned found_capacity = 256;
pid_t found[found_capacity];
pid_t found_group[found_capacity];
unsigned found_count = 0;

// Between two looks while waiting for the session's end.
constexpr unsigned long long look_interval_ms = 100;

// Reads what /proc/`pid`/stat says of the process; false when it is gone
// or its record cannot be read.
bool read_stat(const char* pid, process_fields& fields)
{
    char path[300];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[512];
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0) {
        return false;
    }
    text[length] = '\0';
    return parse_process_stat(text, fields);
}

// Looks through /proc for the processes of the session or its group;
// returns how many there are (those past found_capacity counted but not
// kept). An ended one counts while it is MOLV's to collect, so that nothing
// of the session is left, not even a process id, once this finds none.
unsigned scan_session()
{
    found_count = 0;
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return 0;
    }
    const long self = static_cast<long>(own_pid());
    unsigned count = 0;
    while (const dirent* entry = readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self) {
            continue;
        }
        process_fields fields = {};
        if (!read_stat(entry->d_name, fields) ||
            !left_of_session(fields, static_cast<long>(watched_session), self,
                             is_event_program(static_cast<pid_t>(pid)))) {
            continue;
        }
        // An ended one gets no signal: it is collected with the others.
        if (fields.state != 'Z' && found_count < found_capacity) {
            found[found_count] = static_cast<pid_t>(pid);
            found_group[found_count] = static_cast<pid_t>(fields.group);
            ++found_count;
        }
        ++count;
    }
    closedir(processes);
    return count;
}

// Whether /proc shows this process's own process ids: not so in a process
// id namespace that kept the /proc of its parent.
bool proc_is_ours()
{
    static int ours = -1;
    if (ours < 0) {
        char link[32] = "";
        const ssize_t length = readlink("/proc/self", link, sizeof link - 1);
        link[length > 0 ? length : 0] = '\0';
        ours = std::strtol(link, nullptr, 10) == static_cast<long>(own_pid()) ? 1 : 0;
    }
    return ours == 1;
}

// Without a /proc of its own, all that can be known is whether anything is
// left: a process in the group, or a child of MOLV's besides its event
// programs (an orphan of the server, as MOLV is their subreaper). It counts
// as one.
unsigned left_without_proc()
{
    if (kill(-watched_session, 0) == 0) {
        return 1;
    }
    siginfo_t info = {};
    return platform_event_programs_running() == 0 &&
                   waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0
               ? 1
               : 0;
}

// True when nothing can be left without reading /proc: the group is empty,
// and MOLV, the subreaper of everything the server started, has no child
// but its event programs (there is no cheap way to tell them from an
// orphan, so with one running /proc is read).
bool nothing_left_cheaply()
{
    if (!orphans_come_here) {
        return false;
    }
    // Without any child, MOLV has no descendant at all.
    if (no_children_left()) {
        return true;
    }
    if (kill(-watched_session, 0) == 0 || errno != ESRCH) {
        return false;
    }
    if (running_server() > 0) {
        return false;
    }
    if (event_programs_kept() != 0) {
        return only_event_programs_left();
    }
    siginfo_t info = {};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD;
}

void signal_found(int signal_number, bool skip_group)
{
    for (unsigned i = 0; i < found_count; ++i) {
        if (!(skip_group && found_group[i] == watched_session)) {
            kill(found[i], signal_number);
        }
    }
}

} // namespace

bool parse_process_stat(const char* text, process_fields& fields)
{
    // The name in parentheses may hold anything, a ')' too.
    const char* after_name = std::strrchr(text, ')');
    return after_name != nullptr && std::sscanf(after_name + 1, " %c %ld %ld %ld", &fields.state,
                                                &fields.parent, &fields.group,
                                                &fields.session) == 4;
}

bool left_of_session(const process_fields& fields, long session, long self, bool event_program)
{
    const bool orphan = fields.parent == self && !event_program;
    if (fields.session != session && fields.group != session && !orphan) {
        return false;
    }
    // An ended process is left only while it is MOLV's to collect: another
    // parent collects its own.
    return fields.state != 'Z' || fields.parent == self;
}

void watch_session(pid_t session, bool started_here)
{
    watched_session = session;
    orphans_come_here = started_here;
    forget_group_asked();
    found_count = 0;
}

unsigned platform_server_leftovers()
{
    collect_children();
    if (watched_session <= 0 || nothing_left_cheaply()) {
        found_count = 0;
        return 0;
    }
    if (!proc_is_ours()) {
        found_count = 0;
        return left_without_proc();
    }
    return scan_session();
}

void platform_ask_leftovers_to_stop()
{
    if (platform_server_leftovers() == 0) {
        return;
    }
    // The group gets one signal at most: a second one could cut short a
    // program's own closing.
    if (!group_was_asked()) {
        kill(-watched_session, SIGTERM);
        note_group_asked();
    }
    signal_found(SIGTERM, true);
}

void platform_force_leftovers_end()
{
    // Only while something of the session is there, whose number the
    // system then cannot give to another group.
    if (platform_server_leftovers() != 0) {
        kill(-watched_session, SIGKILL);
        signal_found(SIGKILL, false);
    }
}

bool platform_wait_leftovers_gone(unsigned long long deadline_ms)
{
    const sigset_t waiting_mask = waiting_signal_mask();
    for (;;) {
        if (platform_server_leftovers() == 0) {
            return true;
        }
        const unsigned long long now = platform_monotonic_ms();
        if (deadline_ms != 0 && now >= deadline_ms) {
            return false;
        }
        unsigned long long pause = look_interval_ms;
        if (deadline_ms != 0 && deadline_ms - now < pause) {
            pause = deadline_ms - now;
        }
        // An orphan of the server is MOLV's child: its end cuts the pause
        // short.
        const timespec span = {0, static_cast<long>(pause) * 1000000L};
        ppoll(nullptr, 0, &span, &waiting_mask);
    }
}

// The session always holds what the server starts.
bool platform_take_grouping_failure(char*, std::size_t)
{
    return false;
}
