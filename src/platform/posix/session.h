// What is left of the server's session once its leader has ended. Works
// from the session's id alone, not from MOLV's children, so that it serves
// a server that MOLV did not start itself as well. Internal to posix/.
#pragma once

#include <sys/types.h>

// The session (and process group) of the server from now on: its leader's
// process id. Nothing of it has been asked to stop yet.
void watch_session(pid_t session);

// The server's process group has been sent a stop signal. Safe in a signal
// handler.
void note_group_asked();
