// The real-time alarm: one waitable timer of MOLV's own, set to an absolute
// time, which Windows keeps at that time of day when the clock is set or
// synchronised. And the time of day itself, in UTC and as local time.
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

// Days from 1970-01-01 to the given date of the proleptic Gregorian
// calendar, counted in eras of 400 years, which all have the same days.
long long days_from_civil(long long year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long year_of_era = year - era * 400;
    const long long month_index = month > 2 ? month - 3 : month + 9;
    const long long day_of_year = (153 * month_index + 2) / 5 + day - 1;
    const long long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 +
                                 day_of_year;
    return era * 146097 + day_of_era - 719468;
}

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

long long platform_local_seconds(long long epoch_seconds)
{
    // A time the system cannot convert is taken as it is.
    if (epoch_seconds < 0 || epoch_seconds > latest_alarm_seconds) {
        return epoch_seconds;
    }
    const unsigned long long steps = static_cast<unsigned long long>(
        (epoch_seconds + file_time_epoch_offset) * file_time_steps_per_second);
    FILETIME utc_time;
    utc_time.dwLowDateTime = static_cast<DWORD>(steps & 0xFFFFFFFFu);
    utc_time.dwHighDateTime = static_cast<DWORD>(steps >> 32);
    SYSTEMTIME utc;
    SYSTEMTIME local;
    // The zone's rules for daylight saving time as they apply on that date.
    if (!FileTimeToSystemTime(&utc_time, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        return epoch_seconds;
    }
    return days_from_civil(local.wYear, local.wMonth, local.wDay) * 86400LL +
           local.wHour * 3600LL + local.wMinute * 60LL + local.wSecond;
}
