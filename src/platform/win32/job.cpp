// The server's job: every process the server starts is in it too, so that
// a stop reaches all of them and what is left of the server once its own
// process has ended can be found, asked to close and ended. The job does
// not end its processes when its last handle closes: the server runs on
// when MOLV's window is closed, and a later MOLV opens the job again by
// its name, which the server's own handle keeps.
#include <windows.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/job.h"
#include "platform/win32/job_name.h"
#include "platform/win32/reason.h"

namespace {

HANDLE server_job = nullptr;

// Why the server's processes are not kept together, until it is told. A
// launch's failure is told once a run, as every launch would repeat it.
char grouping_failure[256] = "";
bool launch_failure_told = false;
bool failure_of_launch = false;

// Room for the processes of a server; those of a larger job are counted,
// and the force ends the whole job.
constexpr DWORD room = 64;

// Keeps `what` and the system's reason for `error`, unless another reason
// waits already; true when kept.
bool keep_failure(const char* what, DWORD error)
{
    if (grouping_failure[0] != '\0') {
        return false;
    }
    char reason[200];
    system_reason(error, reason, sizeof reason);
    copy_text(grouping_failure, sizeof grouping_failure, what);
    append_text(grouping_failure, sizeof grouping_failure, reason);
    return true;
}

void keep_launch_failure(DWORD error)
{
    if (!launch_failure_told && keep_failure("", error)) {
        failure_of_launch = true;
    }
}

// True when `a` and `b`, of the given lengths, are the same path apart from
// case.
bool same_path(const wchar_t* a, DWORD a_length, const wchar_t* b, DWORD b_length)
{
    return a_length > 0 && b_length > 0 &&
           CompareStringOrdinal(a, static_cast<int>(a_length), b, static_cast<int>(b_length),
                                TRUE) == CSTR_EQUAL;
}

// A process of the system's own that lands in the job without being the
// server's: Wine's desktop (explorer.exe), started by the first program of a
// prefix that opens a window, and the console host (conhost.exe) of the
// server's console. Known by their names in the system's folders, so that a
// server that happens to have such a name is still the server.
bool is_system_process(DWORD process_id)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process == nullptr) {
        return false;
    }
    wchar_t image[MAX_PATH];
    DWORD length = MAX_PATH;
    const bool named = QueryFullProcessImageNameW(process, 0, image, &length) != 0;
    CloseHandle(process);
    if (!named) {
        return false;
    }
    DWORD folder_length = 0;
    for (DWORD i = 0; i < length; ++i) {
        if (image[i] == L'\\' || image[i] == L'/') {
            folder_length = i;
        }
    }
    const wchar_t* name = image + folder_length + 1;
    const int name_length = static_cast<int>(length - folder_length - 1);
    if (folder_length == 0 ||
        (CompareStringOrdinal(name, name_length, L"explorer.exe", -1, TRUE) != CSTR_EQUAL &&
         CompareStringOrdinal(name, name_length, L"conhost.exe", -1, TRUE) != CSTR_EQUAL)) {
        return false;
    }
    wchar_t system_folder[MAX_PATH];
    const DWORD windows = GetWindowsDirectoryW(system_folder, MAX_PATH);
    if (windows < MAX_PATH && same_path(image, folder_length, system_folder, windows)) {
        return true;
    }
    const DWORD system = GetSystemDirectoryW(system_folder, MAX_PATH);
    if (system < MAX_PATH && same_path(image, folder_length, system_folder, system)) {
        return true;
    }
    // Where a 32-bit MOLV runs on 64-bit Windows.
    const DWORD wow = GetSystemWow64DirectoryW(system_folder, MAX_PATH);
    return wow < MAX_PATH && same_path(image, folder_length, system_folder, wow);
}

// The ids of the job's processes, up to `room`, and their number in all;
// false when the job cannot be looked at.
bool job_members(DWORD* ids, unsigned& listed, unsigned& total)
{
    alignas(JOBOBJECT_BASIC_PROCESS_ID_LIST) unsigned char
        buffer[sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + (room - 1) * sizeof(ULONG_PTR)] = {};
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer);
    list->NumberOfAssignedProcesses = room;
    listed = 0;
    total = 0;
    if (server_job == nullptr ||
        (!QueryInformationJobObject(server_job, JobObjectBasicProcessIdList, list, sizeof buffer,
                                    nullptr) &&
         GetLastError() != ERROR_MORE_DATA)) {
        return false;
    }
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList && i < room; ++i) {
        ids[listed++] = static_cast<DWORD>(list->ProcessIdList[i]);
    }
    total = list->NumberOfAssignedProcesses > listed ? list->NumberOfAssignedProcesses : listed;
    return true;
}

} // namespace

void put_in_server_job(HANDLE process)
{
    if (server_job == nullptr) {
        // Not inheritable, as nothing of MOLV's is. A name that another
        // object has, or a folder that cannot be looked at, gives a job
        // without a name: the server's processes are still kept together,
        // though a later MOLV cannot open the job again.
        wchar_t name[job_name_capacity];
        if (job_name_of(nullptr, name, job_name_capacity)) {
            server_job = CreateJobObjectW(nullptr, name);
        }
        if (server_job == nullptr) {
            server_job = CreateJobObjectW(nullptr, nullptr);
        }
        if (server_job == nullptr) {
            keep_launch_failure(GetLastError());
            return;
        }
    }
    if (!AssignProcessToJobObject(server_job, process)) {
        keep_launch_failure(GetLastError());
        return;
    }
    // The server's own handle of its job: the least right there is, and
    // never passed on to what the server starts.
    HANDLE kept = nullptr;
    DuplicateHandle(GetCurrentProcess(), server_job, process, &kept, JOB_OBJECT_QUERY, FALSE, 0);
}

void open_server_job(HANDLE process)
{
    wchar_t name[job_name_capacity];
    if (server_job == nullptr && job_name_of(nullptr, name, job_name_capacity)) {
        server_job = OpenJobObjectW(JOB_OBJECT_QUERY | JOB_OBJECT_TERMINATE |
                                        JOB_OBJECT_ASSIGN_PROCESS,
                                    FALSE, name);
    }
    if (server_job == nullptr) {
        if (keep_failure("its job cannot be opened again (", GetLastError())) {
            append_text(grouping_failure, sizeof grouping_failure,
                        "); only its own process is watched");
        }
        return;
    }
    // A job under this folder's name that does not hold the server is not
    // the server's; the next launch makes the folder's job anew. Where the
    // system does not answer (Wine, with the right MOLV has to the server),
    // the folder's job is taken to be the server's.
    BOOL inside = TRUE;
    if (IsProcessInJob(process, server_job, &inside) && !inside) {
        CloseHandle(server_job);
        server_job = nullptr;
        copy_text(grouping_failure, sizeof grouping_failure,
                  "it is not in this folder's job; only its own process is watched");
    }
}

bool open_folder_job()
{
    wchar_t name[job_name_capacity];
    if (server_job == nullptr && job_name_of(nullptr, name, job_name_capacity)) {
        server_job = OpenJobObjectW(JOB_OBJECT_QUERY | JOB_OBJECT_TERMINATE |
                                        JOB_OBJECT_ASSIGN_PROCESS,
                                    FALSE, name);
    }
    return server_job != nullptr;
}

unsigned server_job_processes(DWORD* ids, unsigned capacity)
{
    DWORD members[room];
    unsigned listed = 0;
    unsigned total = 0;
    if (!job_members(members, listed, total)) {
        return 0;
    }
    unsigned count = 0;
    for (unsigned i = 0; i < listed; ++i) {
        if (!is_system_process(members[i])) {
            if (count < capacity) {
                ids[count] = members[i];
            }
            ++count;
        }
    }
    return count + (total - listed);
}

void end_server_job()
{
    DWORD members[room];
    unsigned listed = 0;
    unsigned total = 0;
    if (!job_members(members, listed, total)) {
        return;
    }
    bool system_inside = false;
    for (unsigned i = 0; i < listed && !system_inside; ++i) {
        system_inside = is_system_process(members[i]);
    }
    if (!system_inside || total > listed) {
        TerminateJobObject(server_job, 1);
        return;
    }
    for (unsigned i = 0; i < listed; ++i) {
        if (is_system_process(members[i])) {
            continue;
        }
        const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, members[i]);
        if (process != nullptr) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
}

bool platform_take_grouping_failure(char* reason, std::size_t reason_capacity)
{
    if (grouping_failure[0] == '\0') {
        return false;
    }
    copy_text(reason, reason_capacity, grouping_failure);
    grouping_failure[0] = '\0';
    launch_failure_told = launch_failure_told || failure_of_launch;
    failure_of_launch = false;
    return true;
}
