#include "supervise/stop.h"

#include <cstdio>

#include "config/settings.h"
#include "console/log_line.h"
#include "platform/platform.h"
#include "supervise/status.h"

// Waits for the server's end until the monotonic `deadline_ms` (0: for as
// long as it takes), letting answers, alarms and a stop asked for that come
// meanwhile pass. Returns true once the server has ended.
static bool wait_for_end_until(unsigned long long deadline_ms)
{
    for (;;) {
        status_flush();
        switch (platform_wait_server_until(deadline_ms)) {
        case server_wake::ended:
            return true;
        case server_wake::deadline:
            return false;
        case server_wake::query_ready:
            // Read, so that the socket does not wake the wait again.
            platform_query_answered();
            break;
        case server_wake::alarm:
        case server_wake::stop_asked:
        case server_wake::asked:
            // A request is taken once the stop is done.
            break;
        }
    }
}

void stop_gameserver(bool ask_first)
{
    char reason[256] = "";
    const unsigned long long deadline = platform_monotonic_ms() + stop_timeout_seconds * 1000ULL;
    // A request that cannot be made leaves the server to the force below.
    if (ask_first) {
        platform_ask_server_to_stop(reason, sizeof reason);
    }
    // The stop is done only when nothing of the server is left: what it
    // started gets the rest of the same time.
    const bool ended = wait_for_end_until(deadline);
    if (ended) {
        platform_ask_leftovers_to_stop();
        if (platform_wait_leftovers_gone(deadline)) {
            return;
        }
    }
    char message[320];
    std::snprintf(message, sizeof message,
                  "  WARNING: Gameserver did not stop within %u %s; ending it by force.",
                  stop_timeout_seconds, stop_timeout_seconds == 1 ? "second" : "seconds");
    log_line(colour_yellow, message);
    if (!ended && !platform_force_server_end(reason, sizeof reason)) {
        log_warning("  WARNING: Could not stop the gameserver: ", reason);
    }
    platform_force_leftovers_end();
    // What the force does not end within the same time again is given up,
    // so that the cycle goes on whatever the system does.
    const unsigned long long last = platform_monotonic_ms() + stop_timeout_seconds * 1000ULL;
    const bool server_gone = ended || wait_for_end_until(last);
    platform_force_leftovers_end();
    if (server_gone && platform_wait_leftovers_gone(last)) {
        return;
    }
    const unsigned left = platform_server_leftovers() + (server_gone ? 0 : 1);
    if (!server_gone) {
        platform_abandon_server();
    }
    if (left != 0) {
        std::snprintf(message, sizeof message,
                      "  WARNING: %u %s of the gameserver could not be ended; going on.", left,
                      left == 1 ? "process" : "processes");
        log_line(colour_yellow, message);
    }
}

bool stop_leftovers()
{
    const unsigned left = platform_server_leftovers();
    if (left == 0) {
        return false;
    }
    char message[160];
    std::snprintf(message, sizeof message,
                  "  WARNING: The gameserver left %u %s running; stopping %s...", left,
                  left == 1 ? "process" : "processes", left == 1 ? "it" : "them");
    log_line(colour_yellow, message);
    stop_gameserver(true);
    return true;
}
