// The one owner of every child MOLV starts, the server and the on_event
// programs alike: their handles, and what is known of those that ended. The
// files that start children hand their handles here; collecting them
// closes the handles and frees their places. Internal to win32/.
#pragma once

#include <windows.h>

// Keeps the handles of the server just started.
void keep_server(const PROCESS_INFORMATION& started);

// Keeps a server found again, of which MOLV has the process handle alone;
// the wait then watches the process.
void keep_found_server(HANDLE process, DWORD id);

// The server's process handle, nullptr while none runs.
HANDLE server_process_handle();

// The server's primary thread, which ends when the server does (the
// process of a found server); nullptr while none runs.
HANDLE server_thread_handle();

// Takes the exit code of the server whose primary thread has ended and
// releases both its handles.
void finish_server();

// Copies the process handles of the running event programs to `handles`
// (at most `capacity`) and returns how many there are.
unsigned event_program_handles(HANDLE* handles, unsigned capacity);

// Closes the handle of an event program that has ended and forgets it.
void collect_event_program(HANDLE ended);

// Collects every event program that has ended, without waiting.
void collect_ended_programs();

// The number of event programs kept; collect_ended_programs first for those
// that still run.
unsigned event_program_count();

// Keeps the process handle of the event program just started; there is
// room, as event_program_count told.
void keep_event_program(HANDLE process);
