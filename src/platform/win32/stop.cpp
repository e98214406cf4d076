// The stop of the server: WM_CLOSE to each of its top-level windows, as a
// click on the window's close button would send, and TerminateProcess when
// that was not enough.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/children.h"
#include "platform/win32/library.h"
#include "platform/win32/reason.h"
#include "platform/win32/stop.h"

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

BOOL CALLBACK close_server_window(HWND window, LPARAM server_id)
{
    DWORD owner = 0;
    user32.window_process(window, &owner);
    if (owner == static_cast<DWORD>(server_id)) {
        user32.post_message(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

} // namespace

bool close_windows_of(unsigned long process_id, char* reason, std::size_t reason_capacity)
{
    if (!load_window_functions(reason, reason_capacity)) {
        return false;
    }
    // The callback never ends the enumeration, so a false result with an
    // error set is a failure of the enumeration itself.
    SetLastError(ERROR_SUCCESS);
    if (!user32.enum_windows(close_server_window, static_cast<LPARAM>(process_id))) {
        const DWORD error = GetLastError();
        if (error != ERROR_SUCCESS) {
            system_reason(error, reason, reason_capacity);
            return false;
        }
    }
    return true;
}

bool platform_ask_server_to_stop(char* reason, std::size_t reason_capacity)
{
    const unsigned long server_id = platform_server_id();
    return server_id == 0 || close_windows_of(server_id, reason, reason_capacity);
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
