// The signals of the process: SIGCHLD, which interrupts the waits, and the
// stop signals that MOLV catches and passes on to the server as a
// container's first process. Internal to posix/.
#pragma once

#include <signal.h>

// Catches SIGCHLD so that it interrupts a wait, and blocks it outside the
// waits, so that one that comes just before a wait is not lost.
void watch_children();

// Catches the stop signals and passes them on to the server's session (as
// a container's first process, which gets no signal it has no handler for).
void catch_stop_signals();

// Whether the stop signals are caught and passed on (only as PID 1).
bool stops_passed_on();

// Catches `signal_number` with `handler`; like the stop signals, it is
// blocked outside the waits and let in only inside them.
void catch_in_waits(int signal_number, void (*handler)(int));

// Whether signals besides SIGCHLD come in only inside the waits (as PID 1,
// or once requests are taken): a wait must then sleep in ppoll with
// waiting_signal_mask.
bool signals_held();

// The stop signal received as a container's first process, 0 while none.
int received_stop_signal();

// The set of the stop signals: SIGTERM, SIGINT and SIGHUP.
sigset_t stop_set();

// The handler that passes a stop signal on; it may be installed again by
// whoever took the signal over for a while.
void pass_on_stop(int signal_number);

// The signal mask to wait with (ppoll): MOLV's own, with SIGCHLD and, as a
// container's first process, the stop signals let in. Outside such waits
// they stay blocked, so that one that comes just before a wait still
// interrupts it.
sigset_t waiting_signal_mask();

// The server's process group has been sent a stop signal, by the stop or by
// a stop passed on. Safe in a signal handler.
void note_group_asked();

// Whether the group has been sent one since the last forget_group_asked.
bool group_was_asked();

// A new server's group: nothing asked of it yet.
void forget_group_asked();
