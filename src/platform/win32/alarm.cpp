// The real-time alarm: one waitable timer of MOLV's own, set to an absolute
// time, which Windows keeps at that time of day when the clock is set or
// synchronised. And the time of day itself, in UTC.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/waitables.h"

namespace {

HANDLE alarm_timer = nullptr;
bool alarm_armed = false;

// Seconds from 1601-01-01, where file times begin, to 1970-01-01.
constexpr long long file_time_epoch_offset = 11644473600LL;
constexpr long long file_time_steps_per_second = 10000000LL;

// The latest time whose file time still fits, far beyond any alarm.
constexpr long long latest_alarm_seconds = 0x7FFFFFFFFFFFFFFFLL / file_time_steps_per_second -
                                           file_time_epoch_offset;

} // namespace

HANDLE alarm_wait_timer()
{
    return alarm_armed ? alarm_timer : nullptr;
}

bool platform_set_alarm(long long epoch_seconds)
{
    if (epoch_seconds < 0) {
        if (alarm_timer != nullptr) {
            CancelWaitableTimer(alarm_timer);
        }
        alarm_armed = false;
        return true;
    }
    if (alarm_timer == nullptr) {
        // Reset by the wait that sees it, so one alarm wakes one wait.
        alarm_timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
        if (alarm_timer == nullptr) {
            return false;
        }
    }
    if (epoch_seconds > latest_alarm_seconds) {
        epoch_seconds = latest_alarm_seconds;
    }
    // A positive due time is an absolute file time in UTC.
    LARGE_INTEGER due;
    due.QuadPart = (epoch_seconds + file_time_epoch_offset) * file_time_steps_per_second;
    alarm_armed = SetWaitableTimer(alarm_timer, &due, 0, nullptr, nullptr, FALSE) != 0;
    return alarm_armed;
}

long long platform_epoch_seconds()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long steps =
        static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    return static_cast<long long>(steps / file_time_steps_per_second) - file_time_epoch_offset;
}

// The timer keeps its time of day through small changes, but a clock set
// back by a day or more is only noticed by a look at it.
bool platform_alarm_sees_clock_sets()
{
    return false;
}
