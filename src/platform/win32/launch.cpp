// The process at start and the server's launch through CreateProcessA, in a
// console of its own and in the folder's job, with no handle of MOLV's.
#include <windows.h>

#include <cstring>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/children.h"
#include "platform/win32/found.h"
#include "platform/win32/job.h"
#include "platform/win32/launch.h"
#include "platform/win32/reason.h"

namespace {

// The start-up record of the launch: all zeros, its size and the flag that
// makes the three standard handles (all zero) count.
STARTUPINFOA startup_record = {};

// CreateProcessA may write into the command line it is given.
char command_buffer[256];

} // namespace

// Marks every handle of MOLV's that a child could inherit as not
// inheritable, its standard handles aside: what MOLV inherited from whoever
// started it (a launcher's lock file, say) is MOLV's alone. Not even a
// console host that the system starts for a child may get it.
void keep_inherited_handles()
{
    const HANDLE standard[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                                GetStdHandle(STD_ERROR_HANDLE)};
    // Handle values are multiples of 4; what a process inherits at its start
    // lies far below this.
    for (ULONG_PTR value = 4; value < (1UL << 16); value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (handle == standard[0] || handle == standard[1] || handle == standard[2] ||
            !GetHandleInformation(handle, &flags) || (flags & HANDLE_FLAG_INHERIT) == 0) {
            continue;
        }
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    }
}

void platform_prepare_process()
{
    keep_inherited_handles();
    // Windows documents that a child inherits the error mode: a server that
    // crashes then ends at once instead of waiting at a "has stopped
    // working" box that nobody is there to click, and MOLV starts it again.
    // Wine does not pass the mode on, so no test there can see this.
    const UINT flags = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
    const UINT before = SetErrorMode(flags);
    SetErrorMode(before | flags);
}

// No stop is ever asked for: closing the window ends MOLV.
bool platform_stop_requested()
{
    return false;
}

bool platform_start_server(const char* exename, const char* command_line, char* reason,
                           std::size_t reason_capacity)
{
    std::memset(&startup_record, 0, sizeof startup_record);
    startup_record.cb = sizeof startup_record;
    startup_record.dwFlags = STARTF_USESTDHANDLES;
    copy_text(command_buffer, sizeof command_buffer, command_line);

    // The program is named as well as the command line, so the file that
    // was checked at start-up is the one started, whatever its name holds.
    // Its standard handles are none, so it inherits nothing at all. It
    // starts suspended, so that it is in the job before it can start
    // anything of its own. It leaves a job that MOLV was put in (by a
    // service wrapper that ends it with MOLV, say), so that ending MOLV ends
    // MOLV alone; where that job allows no leaving, the system refuses the
    // start, and the server stays in it.
    const DWORD flags = CREATE_NEW_CONSOLE | CREATE_SUSPENDED;
    PROCESS_INFORMATION started = {};
    BOOL ok = CreateProcessA(exename, command_buffer, nullptr, nullptr, FALSE,
                             flags | CREATE_BREAKAWAY_FROM_JOB, nullptr, nullptr,
                             &startup_record, &started);
    if (!ok && GetLastError() == ERROR_ACCESS_DENIED) {
        copy_text(command_buffer, sizeof command_buffer, command_line);
        ok = CreateProcessA(exename, command_buffer, nullptr, nullptr, FALSE, flags, nullptr,
                            nullptr, &startup_record, &started);
    }
    if (!ok) {
        // "Bad EXE format for %1" and the like name the executable.
        system_reason(GetLastError(), reason, reason_capacity, exename);
        return false;
    }
    put_in_server_job(started.hProcess);
    // Recorded before it runs: a MOLV ended now leaves a record of it.
    keep_server(started);
    record_server();
    ResumeThread(started.hThread);
    return true;
}
