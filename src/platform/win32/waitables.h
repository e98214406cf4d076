// The handles that the wait for the server watches besides the server and
// the event programs, shared between the files of the Windows backend. None
// of them is inheritable.
#pragma once

#include <windows.h>

// The event that the query socket signals, nullptr while no socket is open.
HANDLE query_wait_event();

// The alarm's waitable timer, nullptr while no alarm is set.
HANDLE alarm_wait_timer();
