// The console's control signals: Ctrl+C, Ctrl+Break and the close of
// MOLV's window end MOLV alone, the server left running. Internal to
// win32/.
#pragma once

#include <windows.h>

// From here on, the console's control signals come to MOLV's handler
// instead of ending the process at once.
void catch_console_controls();

// The event the handler sets for each signal (resetting itself when a wait
// sees it); nullptr before catch_console_controls.
HANDLE leave_event();
