// The scheduled restarts against the clock: the wall clock looked at, and
// the alarm set for the next listed time.
#pragma once

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
