#include "supervise/schedule.h"

long long local_day(long long local_seconds)
{
    long long day = local_seconds / seconds_per_day;
    return local_seconds % seconds_per_day < 0 ? day - 1 : day;
}

long long days_from_civil(long long year, unsigned month, unsigned day)
{
    // Years counted from March, so that the leap day ends a year.
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long year_of_era = year - era * 400;
    const long long day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

restart_memory restart_memory_start()
{
    restart_memory memory;
    for (long long& day : memory.taken_day) {
        day = -1000000000LL;
    }
    return memory;
}

// The latest occurrence of the time of day `seconds` at or before `local`.
static long long latest_occurrence(unsigned seconds, long long local)
{
    const long long today = local_day(local) * seconds_per_day + seconds;
    return today <= local ? today : today - seconds_per_day;
}

int due_restart(const restart_list& list, restart_memory& memory, long long last_local,
                long long now_local)
{
    int due = -1;
    long long latest = 0;
    for (unsigned i = 0; i < list.count; ++i) {
        const long long occurrence = latest_occurrence(list.seconds[i], now_local);
        const long long day = local_day(occurrence);
        if (occurrence <= last_local || memory.taken_day[i] == day) {
            continue;
        }
        memory.taken_day[i] = day;
        if (due < 0 || occurrence > latest) {
            due = static_cast<int>(i);
            latest = occurrence;
        }
    }
    return due;
}

long long next_restart_local(const restart_list& list, long long now_local)
{
    long long next = -1;
    for (unsigned i = 0; i < list.count; ++i) {
        const long long occurrence = latest_occurrence(list.seconds[i], now_local) + seconds_per_day;
        if (next < 0 || occurrence < next) {
            next = occurrence;
        }
    }
    return next;
}

long long alarm_epoch(long long now_epoch, long long target_local, local_clock clock)
{
    const long long offset = clock(now_epoch) - now_epoch;
    long long guess = target_local - offset;
    if (guess <= now_epoch) {
        return now_epoch + 1;
    }
    if (clock(guess) <= target_local) {
        return guess;
    }
    // The clock shows more than the target at the guess: it jumped forward
    // in between. The first second at which it shows the target or later is
    // the jump.
    long long low = now_epoch;
    long long high = guess;
    while (high - low > 1) {
        const long long middle = low + (high - low) / 2;
        if (clock(middle) >= target_local) {
            high = middle;
        } else {
            low = middle;
        }
    }
    return high;
}
