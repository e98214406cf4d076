// The stop of the server and of what it left: WM_CLOSE to each top-level
// window of every one of its processes at once, as a click on each window's
// close button would send, and the force when that was not enough. A server
// started through a wrapper (a .bat and its cmd.exe) is asked in its game,
// which has the windows.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/children.h"
#include "platform/win32/job.h"
#include "platform/win32/library.h"
#include "platform/win32/reason.h"

namespace {

using enum_windows_function = BOOL(WINAPI*)(WNDENUMPROC, LPARAM);
using window_process_function = DWORD(WINAPI*)(HWND, LPDWORD);
using post_message_function = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);

// USER32 is loaded when a stop is first asked for, so that a MOLV that never
// stops a server keeps to the libraries it started with.
struct window_functions {
    bool loaded;
    enum_windows_function enum_windows;
    window_process_function window_process;
    post_message_function post_message;
};

window_functions user32 = {};

// Room for the processes asked at once; a larger job's others get the force.
constexpr unsigned room = 64;

// Between two looks while waiting for the job to empty.
constexpr DWORD look_interval_ms = 100;

// The processes whose windows are to close.
struct process_set {
    DWORD ids[room];
    unsigned count;
};

bool load_window_functions(char* reason, std::size_t reason_capacity)
{
    if (user32.loaded) {
        return true;
    }
    HMODULE library = load_system_library("user32.dll");
    if (library == nullptr) {
        system_reason(GetLastError(), reason, reason_capacity, "user32.dll");
        return false;
    }
    user32.enum_windows = system_function<enum_windows_function>(library, "EnumWindows");
    user32.window_process =
        system_function<window_process_function>(library, "GetWindowThreadProcessId");
    user32.post_message = system_function<post_message_function>(library, "PostMessageA");
    if (user32.enum_windows == nullptr || user32.window_process == nullptr ||
        user32.post_message == nullptr) {
        system_reason(ERROR_PROC_NOT_FOUND, reason, reason_capacity);
        return false;
    }
    user32.loaded = true;
    return true;
}

BOOL CALLBACK close_window_of_set(HWND window, LPARAM context)
{
    const process_set& set = *reinterpret_cast<const process_set*>(context);
    DWORD owner = 0;
    user32.window_process(window, &owner);
    for (unsigned i = 0; i < set.count; ++i) {
        if (set.ids[i] == owner) {
            user32.post_message(window, WM_CLOSE, 0, 0);
            break;
        }
    }
    return TRUE;
}

// Posts WM_CLOSE to every top-level window of the processes in `set`, in
// one pass over the windows; false with the system's reason when the
// windows could not be looked at.
bool close_windows_of(const process_set& set, char* reason, std::size_t reason_capacity)
{
    if (set.count == 0) {
        return true;
    }
    if (!load_window_functions(reason, reason_capacity)) {
        return false;
    }
    // The callback never ends the enumeration, so a false result with an
    // error set is a failure of the enumeration itself.
    SetLastError(ERROR_SUCCESS);
    if (!user32.enum_windows(close_window_of_set, reinterpret_cast<LPARAM>(&set))) {
        const DWORD error = GetLastError();
        if (error != ERROR_SUCCESS) {
            system_reason(error, reason, reason_capacity);
            return false;
        }
    }
    return true;
}

// The server's processes other than its own: those of its job.
void add_job_processes(process_set& set)
{
    DWORD ids[room];
    const unsigned count = server_job_processes(ids, room);
    for (unsigned i = 0; i < count && i < room && set.count < room; ++i) {
        bool known = false;
        for (unsigned j = 0; j < set.count && !known; ++j) {
            known = set.ids[j] == ids[i];
        }
        if (!known) {
            set.ids[set.count++] = ids[i];
        }
    }
}

} // namespace

bool platform_ask_server_to_stop(char* reason, std::size_t reason_capacity)
{
    process_set set = {};
    const unsigned long server_id = platform_server_id();
    if (server_id != 0) {
        set.ids[set.count++] = static_cast<DWORD>(server_id);
    }
    add_job_processes(set);
    return close_windows_of(set, reason, reason_capacity);
}

bool platform_force_server_end(char* reason, std::size_t reason_capacity)
{
    HANDLE process = server_process_handle();
    if (process == nullptr || TerminateProcess(process, 1)) {
        return true;
    }
    const DWORD error = GetLastError();
    // A server that has ended by itself meanwhile cannot be ended again.
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        return true;
    }
    system_reason(error, reason, reason_capacity);
    return false;
}

void platform_abandon_server()
{
    finish_server();
}

unsigned platform_server_leftovers()
{
    DWORD ids[room];
    return server_job_processes(ids, room);
}

void platform_ask_leftovers_to_stop()
{
    process_set set = {};
    add_job_processes(set);
    char reason[256];
    close_windows_of(set, reason, sizeof reason);
}

void platform_force_leftovers_end()
{
    end_server_job();
}

bool platform_wait_leftovers_gone(unsigned long long deadline_ms)
{
    for (;;) {
        collect_ended_programs();
        if (platform_server_leftovers() == 0) {
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
