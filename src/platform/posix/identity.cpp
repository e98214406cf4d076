// A process told apart from a later one under the same id. The record holds
// the boot's id and the clock ticks at the moment of the record, just after
// the start: the process started no later than that. A later process with
// the same id can only start after it has ended, so after the record;
// reading the exact start from /proc instead would cost each launch more
// than the rest of the restart.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/identity.h"

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

// The ticks of `identity` when it is of this boot.
bool ticks_of_this_boot(const char* identity, unsigned long long& ticks)
{
    char boot[64] = "";
    return std::sscanf(identity, "%llu %63s", &ticks, boot) == 2 && boot_id()[0] != '\0' &&
           std::strcmp(boot, boot_id()) == 0;
}

} // namespace

void prepare_identity()
{
    boot_id();
}

bool identity_now(char* destination, std::size_t capacity)
{
    const int written = std::snprintf(destination, capacity, "%llu %s", ticks_now(), boot_id());
    return boot_id()[0] != '\0' && written > 0 && static_cast<std::size_t>(written) < capacity;
}

bool identity_of_this_boot(const char* identity)
{
    unsigned long long ticks = 0;
    return ticks_of_this_boot(identity, ticks);
}

bool identity_runs(unsigned long id, const char* identity)
{
    unsigned long long recorded = 0;
    unsigned long long started = 0;
    return id != 0 && ticks_of_this_boot(identity, recorded) && start_ticks(id, started) &&
           started <= recorded;
}

bool identity_replaced(unsigned long id, const char* identity)
{
    unsigned long long recorded = 0;
    unsigned long long started = 0;
    return ticks_of_this_boot(identity, recorded) && start_ticks(id, started) &&
           started > recorded;
}
