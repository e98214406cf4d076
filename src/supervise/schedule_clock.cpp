#include "supervise/schedule_clock.h"

#include <ctime>

#include "config/settings.h"
#include "console/log_line.h"
#include "platform/platform.h"
#include "supervise/schedule.h"

namespace {

// Which listed times have been taken, the wall clock at the last look, and
// whether the alarm wakes the wait or the wait must wake itself.
restart_memory restarts_taken = restart_memory_start();
long long last_look_local = 0;
bool looked_before = false;
bool alarm_works = false;
long long next_restart_epoch = -1;

// The listed time whose restart waits for the players to leave, -1 while
// none does, and its wait.
int waiting_time = -1;
quiet_wait quiet = {};

// Without an alarm that follows the clock, the wait looks at the clock once
// a minute; beside an alarm that is not told of a clock that is set, once
// an hour.
constexpr unsigned long long clock_look_ms = 60000;
constexpr unsigned long long clock_check_ms = 3600000;

// The local seconds at an epoch second, from the same local time as the
// time stamps of the console lines.
long long local_seconds_at(long long epoch_seconds)
{
    const std::time_t at = static_cast<std::time_t>(epoch_seconds);
    const std::tm* local = std::localtime(&at);
    if (local == nullptr) {
        return epoch_seconds;
    }
    return days_from_civil(local->tm_year + 1900LL, static_cast<unsigned>(local->tm_mon + 1),
                           static_cast<unsigned>(local->tm_mday)) *
               seconds_per_day +
           local->tm_hour * 3600LL + local->tm_min * 60LL + local->tm_sec;
}

} // namespace

int look_at_schedule()
{
    const long long now_epoch = platform_epoch_seconds();
    const long long now_local = local_seconds_at(now_epoch);
    const int due = looked_before
                        ? due_restart(restart_times, restarts_taken, last_look_local, now_local)
                        : -1;
    last_look_local = now_local;
    looked_before = true;
    next_restart_epoch =
        alarm_epoch(now_epoch, next_restart_local(restart_times, now_local), local_seconds_at);
    alarm_works = platform_set_alarm(next_restart_epoch);
    return due;
}

unsigned long long schedule_wake_at()
{
    if (restart_times.count == 0) {
        return 0;
    }
    if (alarm_works) {
        return platform_alarm_sees_clock_sets() ? 0 : platform_monotonic_ms() + clock_check_ms;
    }
    const long long left = next_restart_epoch - platform_epoch_seconds();
    const unsigned long long left_ms = left > 0 ? static_cast<unsigned long long>(left) * 1000ULL : 0;
    return platform_monotonic_ms() + (left_ms < clock_look_ms ? left_ms : clock_look_ms);
}

long long next_scheduled_restart()
{
    return restart_times.count != 0 && looked_before && next_restart_epoch > 0 ? next_restart_epoch
                                                                                : 0;
}

void begin_schedule_watch()
{
    waiting_time = -1;
    quiet = quiet_wait{};
    if (restart_times.count != 0) {
        look_at_schedule();
    }
}

int scheduled_restart_now(bool clock_moved, const quiet_view& view)
{
    if (clock_moved && restart_times.count != 0) {
        const int due = look_at_schedule();
        if (due >= 0 && waiting_time < 0) {
            waiting_time = due;
        }
    }
    if (waiting_time < 0) {
        return -1;
    }
    const quiet_step step =
        quiet_restart_look(quiet, restart_when_empty_minutes, view, platform_monotonic_ms());
    if (step.announce) {
        char message[160];
        quiet_wait_message(restart_when_empty_minutes, view.players, message, sizeof message);
        log_line(colour_white, message);
    }
    if (!step.restart) {
        return -1;
    }
    const int due = waiting_time;
    waiting_time = -1;
    return due;
}

unsigned long long quiet_wait_ends_at()
{
    return waiting_time >= 0 && quiet.waiting ? quiet.limit_ms : 0;
}
