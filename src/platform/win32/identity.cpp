// A process told apart from a later one under the same id by its creation
// time. Executables are not compared: a wrapper under Wine becomes another
// program with the same id.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/identity.h"

bool process_identity(HANDLE process, char* identity, std::size_t capacity)
{
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return false;
    }
    const unsigned long long ticks =
        (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    const int written = std::snprintf(identity, capacity, "%llu", ticks);
    return written > 0 && static_cast<std::size_t>(written) < capacity;
}

HANDLE open_recorded_process(unsigned long id, const char* identity, DWORD access)
{
    if (id == 0 || identity[0] == '\0') {
        return nullptr;
    }
    const HANDLE process =
        OpenProcess(access | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                    static_cast<DWORD>(id));
    if (process == nullptr) {
        return nullptr;
    }
    char found[process_identity_capacity];
    if (!process_identity(process, found, sizeof found) || std::strcmp(found, identity) != 0 ||
        WaitForSingleObject(process, 0) != WAIT_TIMEOUT) {
        CloseHandle(process);
        return nullptr;
    }
    return process;
}

bool platform_recorded_process_runs(unsigned long id, const char* identity)
{
    const HANDLE process = open_recorded_process(id, identity, 0);
    if (process == nullptr) {
        return false;
    }
    CloseHandle(process);
    return true;
}

bool platform_wait_recorded_end(unsigned long id, const char* identity,
                                unsigned long long deadline_ms)
{
    const HANDLE process = open_recorded_process(id, identity, 0);
    if (process == nullptr) {
        return true;
    }
    const unsigned long long now = platform_monotonic_ms();
    const DWORD span = deadline_ms > now ? static_cast<DWORD>(deadline_ms - now) : 0;
    const bool ended = WaitForSingleObject(process, span) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}
