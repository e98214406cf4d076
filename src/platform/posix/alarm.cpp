// The real-time alarm of the scheduled restarts: a timer on the wall clock
// that also reports a clock that was set.
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/waitables.h"

namespace {

int alarm_timer = -1;
bool alarm_set = false;

} // namespace

int alarm_descriptor()
{
    return alarm_set ? alarm_timer : -1;
}

bool take_alarm()
{
    std::uint64_t expiries = 0;
    const ssize_t got = read(alarm_timer, &expiries, sizeof expiries);
    // ECANCELED: the clock was set, and the due time must be found anew.
    const bool came = got == static_cast<ssize_t>(sizeof expiries) || (got < 0 && errno == ECANCELED);
    if (came) {
        alarm_set = false;
    }
    return came;
}

bool platform_set_alarm(long long epoch_seconds)
{
    if (alarm_timer < 0) {
        alarm_timer = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (alarm_timer < 0) {
            return false;
        }
    }
    itimerspec when = {};
    alarm_set = epoch_seconds >= 0;
    if (alarm_set) {
        // Zero would disarm the timer; the earliest time it takes is 1.
        when.it_value.tv_sec = static_cast<time_t>(epoch_seconds > 0 ? epoch_seconds : 1);
    }
    if (timerfd_settime(alarm_timer, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr) != 0) {
        alarm_set = false;
        return false;
    }
    return true;
}

long long platform_epoch_seconds()
{
    // Not time(), which may read a coarser clock that lags the timer: the
    // alarm would then come a moment before its second and be set again.
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec);
}

// The timer is cancelled whenever the clock is set.
bool platform_alarm_sees_clock_sets()
{
    return true;
}
