// The server process through CreateProcessA and WaitForMultipleObjects.
#include <windows.h>

#include <cstring>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/reason.h"

namespace {

// The record of the running server, rewritten by every launch.
PROCESS_INFORMATION server_process = {};

// The start-up record of the launch: all zeros, its size and the flag that
// makes the three standard handles (all zero) count.
STARTUPINFOA startup_record = {};

// CreateProcessA may write into the command line it is given.
char command_buffer[256];

bool server_held = false;

} // namespace

// Nothing to prepare on Windows: a write to a closed pipe fails without
// ending the program, and no signal comes with a file-size limit.
void platform_prepare_process()
{
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
    BOOL started = CreateProcessA(exename, command_buffer, nullptr, nullptr, TRUE,
                                  CREATE_NEW_CONSOLE, nullptr, nullptr, &startup_record,
                                  &server_process);
    if (!started) {
        // "Bad EXE format for %1" and the like name the executable.
        system_reason(GetLastError(), reason, reason_capacity, exename);
        return false;
    }
    server_held = true;
    return true;
}

void platform_wait_server()
{
    if (!server_held) {
        return;
    }
    HANDLE thread = server_process.hThread;
    WaitForMultipleObjects(1, &thread, TRUE, INFINITE);
    CloseHandle(server_process.hThread);
    CloseHandle(server_process.hProcess);
    server_held = false;
}

void platform_sleep_seconds(unsigned seconds)
{
    Sleep(seconds * 1000u);
}
