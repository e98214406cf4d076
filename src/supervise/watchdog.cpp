#include "supervise/watchdog.h"

unsigned query_interval_seconds(unsigned hang_timeout_seconds)
{
    const unsigned quarter = hang_timeout_seconds / 4;
    if (quarter < 1) {
        return 1;
    }
    return quarter > 15 ? 15 : quarter;
}

watchdog watchdog_start(unsigned long long launched_ms, unsigned hang_timeout_seconds)
{
    watchdog dog = {};
    dog.launched_ms = launched_ms;
    dog.interval_ms = query_interval_seconds(hang_timeout_seconds) * 1000ULL;
    dog.timeout_ms = hang_timeout_seconds * 1000ULL;
    // The first query goes out at once.
    dog.next_query_ms = launched_ms;
    dog.meant_wake_ms = launched_ms;
    return dog;
}

void watchdog_answer(watchdog& dog, unsigned long long now_ms)
{
    dog.armed = true;
    dog.last_answer_ms = now_ms;
}

watchdog_step watchdog_look(watchdog& dog, unsigned long long now_ms, bool answered)
{
    if (answered) {
        watchdog_answer(dog, now_ms);
    }
    if (now_ms > dog.meant_wake_ms + dog.interval_ms) {
        // Back from an absence of MOLV's own.
        if (dog.armed && dog.last_answer_ms < now_ms) {
            dog.last_answer_ms = now_ms;
        }
        dog.next_query_ms = now_ms;
    }
    watchdog_step step = {};
    if (now_ms >= dog.next_query_ms) {
        step.send_query = true;
        dog.next_query_ms = now_ms + dog.interval_ms;
    }
    unsigned long long wake = dog.next_query_ms;
    if (dog.armed) {
        const unsigned long long hung_at = dog.last_answer_ms + dog.timeout_ms;
        step.hung = now_ms >= hung_at;
        wake = hung_at > now_ms && hung_at < wake ? hung_at : wake;
    } else if (!dog.warned) {
        const unsigned long long warn_at = dog.launched_ms + first_answer_warning_ms;
        if (now_ms >= warn_at) {
            step.warn_no_answer = true;
            dog.warned = true;
        } else if (warn_at < wake) {
            wake = warn_at;
        }
    }
    step.wake_at_ms = wake;
    dog.meant_wake_ms = wake;
    return step;
}
