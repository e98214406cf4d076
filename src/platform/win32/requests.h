// The requests that reach a running MOLV: a restart or a stop through the
// folder's request pipe, and a leave from the console's control signals.
// The waits watch their handles and hand each one that is signalled back
// here. Internal to win32/.
#pragma once

#include <windows.h>

// Room for the handles of request_wait_handles.
constexpr unsigned request_handle_capacity = 2;

// Copies the handles a wait watches for requests to `handles` (at most
// `capacity`) and returns how many there are: the request pipe's event and
// the leave event, where there are.
unsigned request_wait_handles(HANDLE* handles, unsigned capacity);

// Whether `handle` is one of those of request_wait_handles.
bool is_request_handle(HANDLE handle);

// Handles what made `handle` signalled: the next step of the pipe's
// exchange, or a leave; a request that came is noted. Never waits long.
void serve_request_handle(HANDLE handle);

// Whether a request was noted that no wait has told of yet.
bool request_untold();

// Marks every request noted so far as told.
void mark_requests_told();

// Whether a request waits to be taken.
bool request_waiting();
