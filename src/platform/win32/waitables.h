// The handles that the wait for the server watches besides the server
// itself, and the server's own handle, shared between the files of the
// Windows backend. None of them is inheritable.
#pragma once

#include <windows.h>

// The server's process handle, nullptr while none runs.
HANDLE server_process_handle();

// The event that the query socket signals, nullptr while no socket is open.
HANDLE query_wait_event();

// The alarm's waitable timer, nullptr while no alarm is set.
HANDLE alarm_wait_timer();

// Copies the process handles of the running event programs to `handles`
// (at most `capacity`) and returns how many there are.
unsigned event_program_handles(HANDLE* handles, unsigned capacity);

// Closes the handle of an event program that has ended and forgets it.
void collect_event_program(HANDLE ended);

// Loads a DLL of the system from the system folder by its full path, so that
// no other folder is searched; nullptr with the last error set on failure.
HMODULE load_system_library(const char* file_name);

// The address of `name` in `library` as the function pointer type F,
// nullptr when it is not there.
template <typename F>
F system_function(HMODULE library, const char* name)
{
    // Through the generic function type, which any function pointer may be
    // converted to and from without a warning.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}
