// A server found again after a restart of MOLV: the lock file names the
// process MOLV started last, with the boot's id and a time its start came
// no later than, so that a later process with the same id, or one after a
// reboot, is never taken for it. A found server is not MOLV's child; a pidfd
// tells its end.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/children.h"
#include "platform/posix/session.h"
#include "platform/posix/found.h"
#include "platform/posix/lock.h"

namespace {

// Reads up to capacity-1 bytes of a small file; false when it cannot be
// read.
bool read_small_file(const char* path, char* text, std::size_t capacity)
{
    const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    const ssize_t got = read(descriptor, text, capacity - 1);
    close(descriptor);
    if (got <= 0) {
        return false;
    }
    text[got] = '\0';
    return true;
}

// The boot's id, read once: it does not change while MOLV runs.
const char* boot_id()
{
    static char boot[64] = "";
    if (boot[0] == '\0' &&
        !read_small_file("/proc/sys/kernel/random/boot_id", boot, sizeof boot)) {
        boot[0] = '\0';
    }
    boot[std::strcspn(boot, "\n")] = '\0';
    return boot;
}

// The start time of process `pid` in clock ticks after boot: field 22 of
// /proc/<pid>/stat, counted after the command's closing parenthesis, which
// may itself hold blanks and parentheses. False for a process that is gone
// or has ended and waits to be collected.
bool start_ticks(unsigned long pid, unsigned long long& ticks)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lu/stat", pid);
    char stat[1024];
    if (!read_small_file(path, stat, sizeof stat)) {
        return false;
    }
    const char* at = std::strrchr(stat, ')');
    if (at == nullptr) {
        return false;
    }
    // Field 3, the state, follows ") "; the start time is 19 fields later.
    ++at;
    if (at[0] != ' ' || at[1] == 'Z' || at[1] == 'X' || at[1] == 'x') {
        return false;
    }
    for (int field = 3; field < 22 && at != nullptr; ++field) {
        at = std::strchr(at + 1, ' ');
    }
    return at != nullptr && std::sscanf(at, " %llu", &ticks) == 1;
}

// The clock ticks since boot now, on the clock the start times count on.
unsigned long long ticks_now()
{
    timespec now = {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const long per_second = sysconf(_SC_CLK_TCK);
    const unsigned long long tick_ns =
        1000000000ULL / static_cast<unsigned long long>(per_second > 0 ? per_second : 100);
    return (static_cast<unsigned long long>(now.tv_sec) * 1000000000ULL +
            static_cast<unsigned long long>(now.tv_nsec)) /
           tick_ns;
}

} // namespace

// The record holds the boot's id and the clock ticks at the moment of the
// record, just after the start: the server started no later than that. A
// later process with the same id can only start after the server has ended,
// so after the record; reading the exact start from /proc instead would
// cost each launch more than the rest of the restart.
void prepare_server_record()
{
    boot_id();
    own_pid();
}

void record_server(unsigned long id)
{
    char identity[process_identity_capacity];
    const int written = std::snprintf(identity, sizeof identity, "%llu %s", ticks_now(), boot_id());
    if (id != 0 && boot_id()[0] != '\0' && written > 0 &&
        static_cast<std::size_t>(written) < sizeof identity) {
        write_server_record(id, identity);
    }
}

unsigned long platform_find_server()
{
    lock_record record = {};
    if (!platform_previous_record(record) || record.server == static_cast<unsigned long>(own_pid())) {
        return 0;
    }
    unsigned long long recorded_ticks = 0;
    char recorded_boot[64] = "";
    if (std::sscanf(record.identity, "%llu %63s", &recorded_ticks, recorded_boot) != 2 ||
        std::strcmp(recorded_boot, boot_id()) != 0) {
        return 0;
    }
    // The pidfd first: the start checked after it is that of the process it
    // watches. Without pidfds (before Linux 5.3) the wait looks at the
    // process by its id.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(record.server), 0));
    unsigned long long started = 0;
    if (!start_ticks(record.server, started) || started > recorded_ticks) {
        if (pidfd >= 0) {
            close(pidfd);
        }
        return 0;
    }
    keep_found_server(static_cast<pid_t>(record.server), pidfd);
    // It still leads the session MOLV gave it at its start.
    watch_session(static_cast<pid_t>(record.server), false);
    return record.server;
}

// The recorded server is gone, or its id is another process's now. While
// any process of its session or group is left, the system gives neither
// number to a new process, so a process under the server's id that started
// after the record means that nothing of that session is left.
bool platform_watch_previous_server_remains()
{
    lock_record record = {};
    if (!platform_previous_record(record) || record.server == static_cast<unsigned long>(own_pid())) {
        return false;
    }
    unsigned long long recorded_ticks = 0;
    char recorded_boot[64] = "";
    if (std::sscanf(record.identity, "%llu %63s", &recorded_ticks, recorded_boot) != 2 ||
        std::strcmp(recorded_boot, boot_id()) != 0) {
        return false;
    }
    unsigned long long started = 0;
    if (start_ticks(record.server, started) && started > recorded_ticks) {
        return false;
    }
    watch_session(static_cast<pid_t>(record.server), false);
    return platform_server_leftovers() != 0;
}
