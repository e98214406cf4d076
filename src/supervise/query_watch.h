// The hang watchdog at work on the running instance: its query socket, the
// answers read and passed on (status file, lock record), the queries sent,
// the warning about a first answer, and the stop of a server that has
// fallen silent.
#pragma once

#include "supervise/watchdog.h"

// Starts watching the instance launched at `launched_ms`: a new query
// socket, so that a late answer to a query of the instance before cannot
// arm its watchdog. `answered_before`: it answered before this MOLV came.
// False when there is no query port or no socket; `dog` is set either way.
bool query_watch_begin(watchdog& dog, unsigned long long launched_ms, bool answered_before);

// One look: every answer already waiting is read before anything is
// decided. True when the server was found hung and has been stopped;
// otherwise `wake_at_ms` is when to look again (0: only at an answer).
bool query_watch_look(watchdog& dog, unsigned long long& wake_at_ms);
