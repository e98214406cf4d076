// The stop of a running server, for the watchdog and the scheduled restarts.
#pragma once

// Asks the running server to end, waits up to stop_timeout seconds for its
// end, then ends it by force; returns once it has ended. What it does beyond
// the polite request is said on the console.
void stop_gameserver();

// Waits for the server's end until the monotonic `deadline_ms` (0: for as
// long as it takes), letting answers and alarms that come meanwhile pass.
// Returns true once the server has ended.
bool wait_for_end_until(unsigned long long deadline_ms);
