// The process at start and the server's launch through CreateProcessA, in a
// console of its own.
#include <windows.h>

#include <cstring>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/children.h"
#include "platform/win32/reason.h"

namespace {

// The start-up record of the launch: all zeros, its size and the flag that
// makes the three standard handles (all zero) count.
STARTUPINFOA startup_record = {};

// CreateProcessA may write into the command line it is given.
char command_buffer[256];

} // namespace

void platform_prepare_process()
{
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
    PROCESS_INFORMATION started = {};
    BOOL ok = CreateProcessA(exename, command_buffer, nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE,
                             nullptr, nullptr, &startup_record, &started);
    if (!ok) {
        // "Bad EXE format for %1" and the like name the executable.
        system_reason(GetLastError(), reason, reason_capacity, exename);
        return false;
    }
    keep_server(started);
    return true;
}
