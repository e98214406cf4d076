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

// Room for the processes of a server; those of a larger job are counted
// but get the force alone.
constexpr DWORD room = 64;

// The console host of the server's console: the system's, in the job with
// the server, and gone by itself with the console's last program.
bool is_console_host(DWORD process_id)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process == nullptr) {
        return false;
    }
    char image[MAX_PATH];
    DWORD length = sizeof image;
    const bool named = QueryFullProcessImageNameA(process, 0, image, &length) != 0;
    CloseHandle(process);
    if (!named) {
        return false;
    }
    const char* name = image;
    for (const char* at = image; *at != '\0'; ++at) {
        if (*at == '\\' || *at == '/') {
            name = at + 1;
        }
    }
    return lstrcmpiA(name, "conhost.exe") == 0;
}

// The processes of the job other than console hosts, their ids (up to
// `room`) in `ids`; 0 without a job.
unsigned job_processes(DWORD* ids)
{
    alignas(JOBOBJECT_BASIC_PROCESS_ID_LIST) unsigned char
        buffer[sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + (room - 1) * sizeof(ULONG_PTR)] = {};
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer);
    list->NumberOfAssignedProcesses = room;
    if (server_job == nullptr ||
        (!QueryInformationJobObject(server_job, JobObjectBasicProcessIdList, list, sizeof buffer,
                                    nullptr) &&
         GetLastError() != ERROR_MORE_DATA)) {
        return 0;
    }
    const ULONG_PTR* listed = list->ProcessIdList;
    unsigned count = 0;
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList && i < room; ++i) {
        const DWORD id = static_cast<DWORD>(listed[i]);
        if (!is_console_host(id)) {
            ids[count++] = id;
        }
    }
    const DWORD beyond = list->NumberOfAssignedProcesses > room
                             ? list->NumberOfAssignedProcesses - room
                             : 0;
    return count + beyond;
}

unsigned active_processes()
{
    DWORD ids[room];
    return job_processes(ids);
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
    DWORD ids[room];
    const unsigned count = job_processes(ids);
    for (unsigned i = 0; i < count && i < room; ++i) {
        char reason[256];
        close_windows_of(ids[i], reason, sizeof reason);
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
