// The stop of a running server, for the watchdog and the scheduled restarts.
#pragma once

// Asks the running server to end, waits up to stop_timeout seconds for its
// end, then ends it by force; returns once it has ended. What it does beyond
// the polite request is said on the console.
void stop_gameserver();
