// The stop of a running server, for the watchdog, the scheduled restarts
// and a stop asked of MOLV, and of what an ended server left running.
#pragma once

// Asks the running server to end (unless `ask_first` is false: the request
// went out already), waits up to stop_timeout seconds for its end and for
// the end of everything it started, then ends what is left by force;
// returns once nothing of it is left. What it does beyond the polite
// request is said on the console.
void stop_gameserver(bool ask_first = true);

// After the server's own end: stops whatever it left running, as the
// server itself is stopped, and says so. False when nothing was left.
bool stop_leftovers();
