// The scheduled restarts against the clock: the wall clock looked at, the
// alarm set for the next listed time, and with restart_when_empty the wait
// for the players to leave.
#pragma once

#include "supervise/quiet_restart.h"

// Looks at the wall clock: returns the index of the listed restart time
// that has come since the last look, or -1, and sets the alarm for the
// next. The first look finds none due.
int look_at_schedule();

// The monotonic time at which the wait must look at the clock by itself:
// a minute ahead at most where there is no alarm, 0 where the alarm wakes
// it or nothing is scheduled.
unsigned long long schedule_wake_at();

// The epoch second of the next scheduled restart as of the last look; 0
// when none is scheduled or the clock was not looked at yet.
long long next_scheduled_restart();

// A new instance runs: a restart that waited for players is over, and
// times that came while no instance ran pass without effect.
void begin_schedule_watch();

// Whether a scheduled restart is to be made now: looked at when the alarm
// or a deadline woke the wait (`clock_moved`: the clock is looked at too)
// and after each answer of the server, which `view` describes. Returns the
// index of the listed time to restart for, or -1. A time that comes while
// an earlier one waits for players is let pass.
int scheduled_restart_now(bool clock_moved, const quiet_view& view);

// While a restart waits for players, the monotonic time its wait ends; 0
// otherwise.
unsigned long long quiet_wait_ends_at();
