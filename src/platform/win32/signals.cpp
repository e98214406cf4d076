// The handler of the console's control signals runs in a thread of its own
// that the system starts for each signal. It touches nothing of MOLV's but
// two events: it sets the one that the waits watch, and for a close of the
// window (or the system's shutdown), after which the system ends the
// process as soon as the handler returns, it waits for the other, set once
// MOLV has said its last word and written the status file a last time.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/signals.h"

namespace {

// Set by the handler, reset by the wait that sees it; set by
// platform_end_as_asked and never reset.
HANDLE leave = nullptr;
HANDLE last_word_said = nullptr;

// The longest the handler holds a close back. The system ends the process
// after about five seconds anyway; the bound only counts where it does not.
constexpr DWORD last_word_wait_ms = 10000;

BOOL WINAPI on_console_control(DWORD control)
{
    switch (control) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        SetEvent(leave);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        SetEvent(leave);
        WaitForSingleObject(last_word_said, last_word_wait_ms);
        return TRUE;
    default:
        // A user who logs off may not be the one MOLV runs for (a MOLV that
        // Task Scheduler started keeps running).
        return TRUE;
    }
}

} // namespace

void catch_console_controls()
{
    if (leave != nullptr) {
        return;
    }
    // Not inheritable, as nothing of MOLV's is.
    leave = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    last_word_said = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (leave == nullptr || last_word_said == nullptr) {
        return;
    }
    SetConsoleCtrlHandler(on_console_control, TRUE);
}

HANDLE leave_event()
{
    return leave;
}

void platform_end_as_asked()
{
    // MOLV has said what it had to say: a close waiting in the handler may
    // end the process now.
    if (last_word_said != nullptr) {
        SetEvent(last_word_said);
    }
}
