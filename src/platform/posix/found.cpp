// A server found again after a restart of MOLV: the lock file names the
// process MOLV started last, with its start time and the boot's id, so that
// a later process with the same id, or one after a reboot, is never taken
// for it. A found server is not MOLV's child; a pidfd tells its end.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/children.h"
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

// The start time of process `pid` in clock ticks after boot (field 22 of
// /proc/<pid>/stat, counted after the command's closing parenthesis, which
// may itself hold blanks and parentheses) and the boot's id, as one text.
bool process_identity(unsigned long pid, char* identity, std::size_t capacity)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lu/stat", pid);
    char stat[1024];
    char boot[64];
    if (!read_small_file(path, stat, sizeof stat) ||
        !read_small_file("/proc/sys/kernel/random/boot_id", boot, sizeof boot)) {
        return false;
    }
    boot[std::strcspn(boot, "\n")] = '\0';
    const char* at = std::strrchr(stat, ')');
    if (at == nullptr) {
        return false;
    }
    // Field 3, the state, follows ") "; the start time is 19 fields later.
    // A process that has ended and waits to be collected runs no more.
    ++at;
    if (at[0] != ' ' || at[1] == 'Z' || at[1] == 'X' || at[1] == 'x') {
        return false;
    }
    for (int field = 3; field < 22 && at != nullptr; ++field) {
        at = std::strchr(at + 1, ' ');
    }
    if (at == nullptr) {
        return false;
    }
    unsigned long long start = 0;
    if (std::sscanf(at, " %llu", &start) != 1) {
        return false;
    }
    const int written = std::snprintf(identity, capacity, "%llu %s", start, boot);
    return written > 0 && static_cast<std::size_t>(written) < capacity;
}

} // namespace

void platform_record_server()
{
    const unsigned long id = platform_server_id();
    char identity[process_identity_capacity];
    if (id != 0 && process_identity(id, identity, sizeof identity)) {
        write_server_record(id, identity);
    }
}

unsigned long platform_find_server()
{
    lock_record record = {};
    if (!recorded_server(record) || record.server == static_cast<unsigned long>(getpid())) {
        return 0;
    }
    // The pidfd first: the identity checked after it is that of the process
    // it watches. Without pidfds (before Linux 5.3) the wait looks at the
    // process by its id.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(record.server), 0));
    char identity[process_identity_capacity];
    if (!process_identity(record.server, identity, sizeof identity) ||
        std::strcmp(identity, record.identity) != 0) {
        if (pidfd >= 0) {
            close(pidfd);
        }
        return 0;
    }
    keep_found_server(static_cast<pid_t>(record.server), pidfd);
    return record.server;
}
