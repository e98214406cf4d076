// MOLV's end of the request pipe: one instance, served a step at a time
// inside MOLV's waits. Internal to win32/.
#pragma once

#include <windows.h>

#include <cstddef>

#include "platform/platform.h"

// Makes the folder's request pipe and begins to listen. False with the
// system's reason when it cannot be made (another process holds the name,
// or the folder cannot be looked at).
bool open_request_pipe(char* reason, std::size_t reason_capacity);

// The event that the pipe's next step signals; nullptr while there is no
// pipe.
HANDLE request_pipe_event();

// Takes the next step of the exchange with a client once its event is
// signalled, without waiting for the client: the request read (answered
// "taken"), its close, or the next listen. Returns the request read in this
// step, none otherwise.
molv_request serve_request_pipe();
