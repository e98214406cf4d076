#include "supervise/query_watch.h"

#include <cstdio>

#include "config/settings.h"
#include "console/log_line.h"
#include "platform/platform.h"
#include "supervise/events.h"
#include "supervise/server_info.h"
#include "supervise/status.h"
#include "supervise/stop.h"

bool query_watch_begin(watchdog& dog, unsigned long long launched_ms, bool answered_before)
{
    dog = watchdog_start(launched_ms, hang_timeout_seconds);
    if (answered_before) {
        watchdog_answer(dog, launched_ms);
    }
    if (query_port_number == 0) {
        return false;
    }
    char reason[256] = "";
    if (!platform_query_open(query_address, static_cast<unsigned short>(query_port_number), reason,
                             sizeof reason)) {
        log_warning("  WARNING: Could not open the query socket: ", reason);
        return false;
    }
    return true;
}

bool query_watch_look(watchdog& dog, unsigned long long& wake_at_ms)
{
    static char answer[query_answer_capacity];
    std::size_t answer_length = 0;
    const bool answered = platform_query_answered(answer, sizeof answer, &answer_length);
    if (answered) {
        status_server_answered();
        status_server_info(read_server_info(answer, answer_length));
        platform_record_answered();
    }
    const watchdog_step step = watchdog_look(dog, platform_monotonic_ms(), answered);
    if (step.send_query) {
        platform_query_send();
    }
    char message[160];
    if (step.warn_no_answer) {
        std::snprintf(message, sizeof message,
                      "  WARNING: No answer on query port %u yet; hang detection starts at the "
                      "first answer.",
                      query_port_number);
        log_line(colour_yellow, message);
    }
    wake_at_ms = step.wake_at_ms;
    if (!step.hung) {
        return false;
    }
    std::snprintf(message, sizeof message,
                  "  WARNING: Gameserver has not answered for %u %s! Stopping it...",
                  hang_timeout_seconds, hang_timeout_seconds == 1 ? "second" : "seconds");
    log_line(colour_yellow, message);
    pass_event_number("hung", hang_timeout_seconds);
    stop_gameserver();
    return true;
}
