// The server's job: every process the server starts is in it too, so that
// what is left of the server once its own process has ended can be found,
// asked to close and ended. The job does not end its processes when MOLV
// closes it: the server runs on when MOLV's window is closed.
#include <windows.h>

#include <cstdio>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/children.h"
#include "platform/win32/job.h"
#include "platform/win32/reason.h"
#include "platform/win32/stop.h"

namespace {

HANDLE server_job = nullptr;

// Between two looks while waiting for the job to empty.
constexpr DWORD look_interval_ms = 100;

// "Local\molv-" and a hash (FNV-1a, 64 bits) of the folder's full path in
// lower case, so that the same folder always gives the same name.
bool job_name(char* name, std::size_t capacity)
{
    char folder[MAX_PATH * 4];
    const DWORD length = GetCurrentDirectoryA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) {
        return false;
    }
    unsigned long long hash = 14695981039346656037ULL;
    for (DWORD i = 0; i < length; ++i) {
        char c = folder[i];
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c == '/' ? '\\' : c;
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    const int written = std::snprintf(name, capacity, "Local\\molv-%016llx", hash);
    return written > 0 && static_cast<std::size_t>(written) < capacity;
}

// The processes of the job, or 0 without one.
unsigned active_processes()
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (server_job == nullptr ||
        !QueryInformationJobObject(server_job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr)) {
        return 0;
    }
    return static_cast<unsigned>(accounting.ActiveProcesses);
}

} // namespace

bool put_in_server_job(HANDLE process, char* reason, std::size_t reason_capacity)
{
    if (server_job == nullptr) {
        char name[64];
        if (!job_name(name, sizeof name)) {
            system_reason(ERROR_FILENAME_EXCED_RANGE, reason, reason_capacity);
            return false;
        }
        // Not inheritable, as nothing of MOLV's is.
        server_job = CreateJobObjectA(nullptr, name);
        if (server_job == nullptr) {
            system_reason(GetLastError(), reason, reason_capacity);
            return false;
        }
    }
    if (!AssignProcessToJobObject(server_job, process)) {
        system_reason(GetLastError(), reason, reason_capacity);
        return false;
    }
    return true;
}

bool open_server_job()
{
    char name[64];
    if (server_job == nullptr && job_name(name, sizeof name)) {
        server_job = OpenJobObjectA(JOB_OBJECT_QUERY | JOB_OBJECT_TERMINATE |
                                        JOB_OBJECT_ASSIGN_PROCESS,
                                    FALSE, name);
    }
    return server_job != nullptr;
}

unsigned platform_server_leftovers()
{
    return active_processes();
}

void platform_ask_leftovers_to_stop()
{
    // Room for the processes of a server; those of a larger job get the
    // force alone.
    constexpr DWORD room = 64;
    alignas(JOBOBJECT_BASIC_PROCESS_ID_LIST) unsigned char
        buffer[sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + (room - 1) * sizeof(ULONG_PTR)] = {};
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer);
    list->NumberOfAssignedProcesses = room;
    if (server_job == nullptr ||
        !QueryInformationJobObject(server_job, JobObjectBasicProcessIdList, list, sizeof buffer,
                                   nullptr)) {
        return;
    }
    const ULONG_PTR* ids = list->ProcessIdList;
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList && i < room; ++i) {
        char reason[256];
        close_windows_of(static_cast<unsigned long>(ids[i]), reason, sizeof reason);
    }
}

void platform_force_leftovers_end()
{
    if (server_job != nullptr) {
        TerminateJobObject(server_job, 1);
    }
}

bool platform_wait_leftovers_gone(unsigned long long deadline_ms)
{
    for (;;) {
        collect_ended_programs();
        if (active_processes() == 0) {
            return true;
        }
        const unsigned long long now = platform_monotonic_ms();
        if (deadline_ms != 0 && now >= deadline_ms) {
            return false;
        }
        const unsigned long long left = deadline_ms != 0 ? deadline_ms - now : look_interval_ms;
        Sleep(left < look_interval_ms ? static_cast<DWORD>(left) : look_interval_ms);
    }
}
