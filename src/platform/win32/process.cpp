// The server process through CreateProcessA, and the wait for it with
// WaitForMultipleObjects on everything else MOLV waits for at the same time.
#include <windows.h>

#include <cstring>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/reason.h"
#include "platform/win32/waitables.h"

namespace {

// The record of the running server, rewritten by every launch.
PROCESS_INFORMATION server_process = {};

// The start-up record of the launch: all zeros, its size and the flag that
// makes the three standard handles (all zero) count.
STARTUPINFOA startup_record = {};

// CreateProcessA may write into the command line it is given.
char command_buffer[256];

bool server_held = false;

server_end last_end = {false, 0};

// The server, the query socket, the alarm and the event programs.
constexpr unsigned wait_capacity = 3 + event_program_capacity;

// How long the process handle may lag behind its primary thread.
constexpr DWORD process_end_grace_ms = 1000;

// The time left until `deadline_ms` as a wait's timeout; INFINITE for none.
DWORD time_left(unsigned long long deadline_ms)
{
    if (deadline_ms == 0) {
        return INFINITE;
    }
    const unsigned long long now = platform_monotonic_ms();
    if (now >= deadline_ms) {
        return 0;
    }
    const unsigned long long left = deadline_ms - now;
    return left < INFINITE ? static_cast<DWORD>(left) : INFINITE - 1;
}

// Takes the exit code of the server whose primary thread has ended and
// releases both its handles.
void finish_server()
{
    DWORD code = 0;
    // The process normally ends with its primary thread; should another of
    // its threads keep it alive, the primary thread's code is the best
    // there is.
    if (WaitForSingleObject(server_process.hProcess, process_end_grace_ms) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(server_process.hProcess, &code)) {
        if (!GetExitCodeThread(server_process.hThread, &code)) {
            code = 0;
        }
    }
    last_end.by_signal = false;
    last_end.code = code;
    CloseHandle(server_process.hThread);
    CloseHandle(server_process.hProcess);
    server_process = PROCESS_INFORMATION{};
    server_held = false;
}

} // namespace

HANDLE server_process_handle()
{
    return server_held ? server_process.hProcess : nullptr;
}

HMODULE load_system_library(const char* file_name)
{
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, sizeof path);
    if (length == 0 || length >= sizeof path || !append_text(path, sizeof path, "\\") ||
        !append_text(path, sizeof path, file_name)) {
        if (length != 0) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        }
        return nullptr;
    }
    return LoadLibraryA(path);
}

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

unsigned long platform_server_id()
{
    return server_held ? server_process.dwProcessId : 0;
}

server_wake platform_wait_server_until(unsigned long long deadline_ms)
{
    if (!server_held) {
        return server_wake::ended;
    }
    for (;;) {
        HANDLE handles[wait_capacity];
        DWORD count = 0;
        // The primary thread stays first: a wait for any of them names the
        // lowest signalled one, so the server's end is never passed over.
        handles[count++] = server_process.hThread;
        const HANDLE query = query_wait_event();
        const DWORD query_index = count;
        if (query != nullptr) {
            handles[count++] = query;
        }
        const HANDLE alarm = alarm_wait_timer();
        const DWORD alarm_index = count;
        if (alarm != nullptr) {
            handles[count++] = alarm;
        }
        const DWORD programs_from = count;
        count += event_program_handles(handles + count, wait_capacity - count);

        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, time_left(deadline_ms));
        if (result == WAIT_OBJECT_0) {
            finish_server();
            return server_wake::ended;
        }
        if (result == WAIT_TIMEOUT) {
            // A wait may end a little before its timeout; the deadline
            // counts on the monotonic clock alone.
            if (time_left(deadline_ms) == 0) {
                return server_wake::deadline;
            }
            continue;
        }
        if (result == WAIT_FAILED || result >= WAIT_OBJECT_0 + count) {
            // Not to be expected with handles of MOLV's own; the server
            // alone is still waited for, so that this never spins.
            if (WaitForSingleObject(server_process.hThread, time_left(deadline_ms)) ==
                WAIT_OBJECT_0) {
                finish_server();
                return server_wake::ended;
            }
            return server_wake::deadline;
        }
        const DWORD index = result - WAIT_OBJECT_0;
        if (query != nullptr && index == query_index) {
            return server_wake::query_ready;
        }
        if (alarm != nullptr && index == alarm_index) {
            return server_wake::alarm;
        }
        if (index >= programs_from) {
            collect_event_program(handles[index]);
        }
    }
}

server_end platform_last_server_end()
{
    return last_end;
}

void platform_sleep_seconds(unsigned seconds)
{
    if (seconds == 0) {
        return;
    }
    const unsigned long long deadline = platform_monotonic_ms() + seconds * 1000ULL;
    for (;;) {
        const DWORD left = time_left(deadline);
        if (left == 0) {
            return;
        }
        HANDLE programs[event_program_capacity];
        const unsigned count = event_program_handles(programs, event_program_capacity);
        if (count == 0) {
            Sleep(left);
            continue;
        }
        // Event programs that end meanwhile are collected at once.
        const DWORD result = WaitForMultipleObjects(count, programs, FALSE, left);
        if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
            collect_event_program(programs[result - WAIT_OBJECT_0]);
        } else if (result == WAIT_FAILED) {
            Sleep(left);
        }
    }
}
