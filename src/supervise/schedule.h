// The scheduled restarts: which listed time is due, given the local wall
// clock at the last look and now. Pure functions of their inputs; the cycle
// supplies the clock.
//
// Local times are counted as "local seconds": days since 1970-01-01 of the
// local calendar times 86400, plus the seconds of the day. They are what the
// wall clock shows, so they jump with summer time and with a clock that is
// set.
#pragma once

#include "config/settings.h"

constexpr long long seconds_per_day = 86400;

// The local day a local-seconds value falls on.
long long local_day(long long local_seconds);

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long long days_from_civil(long long year, unsigned month, unsigned day);

// For each listed time, the local day of the last occurrence that was taken
// (or let pass), so that each time restarts at most once a day.
struct restart_memory {
    long long taken_day[restart_time_capacity];
};

// A memory in which nothing has been taken yet.
restart_memory restart_memory_start();

// The listed time that is due when the wall clock has moved from
// `last_local` to `now_local`: one whose latest occurrence at or before now
// lies after the last look and has not been taken yet. A jump forward over
// a time makes it due at the jump; after a jump back, a time already taken
// that day is not due again. Every time that is due is marked taken; the
// index of the latest one is returned, or -1 when none is due.
int due_restart(const restart_list& list, restart_memory& memory, long long last_local,
                long long now_local);

// The local seconds of the next occurrence of any listed time after
// `now_local`, or -1 when the list is empty.
long long next_restart_local(const restart_list& list, long long now_local);

// The local seconds at an epoch second.
using local_clock = long long (*)(long long epoch_seconds);

// The earliest epoch second after `now_epoch` at which the wall clock shows
// `target_local` or later, for a wall clock that moves forward between the
// two: a guess from the offset now, then, when the offset changes in between
// (summer time begins), a search back to the jump. When the offset shrinks
// in between (summer time ends), the guess comes early, and a later look
// computes it again.
long long alarm_epoch(long long now_epoch, long long target_local, local_clock clock);
