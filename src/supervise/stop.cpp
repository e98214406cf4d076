#include "supervise/stop.h"

#include <cstdio>

#include "config/settings.h"
#include "console/log_line.h"
#include "platform/platform.h"

// Waits for the server's end until the monotonic `deadline_ms` (0: for as
// long as it takes), letting answers and alarms that come meanwhile pass.
// Returns true once the server has ended.
static bool wait_for_end_until(unsigned long long deadline_ms)
{
    for (;;) {
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
            break;
        }
    }
}

void stop_gameserver()
{
    char reason[256] = "";
    // A request that cannot be made leaves the server to the force below.
    platform_ask_server_to_stop(reason, sizeof reason);
    if (wait_for_end_until(platform_monotonic_ms() + stop_timeout_seconds * 1000ULL)) {
        return;
    }
    char message[320];
    std::snprintf(message, sizeof message,
                  "  WARNING: Gameserver did not stop within %u %s; ending it by force.",
                  stop_timeout_seconds, stop_timeout_seconds == 1 ? "second" : "seconds");
    log_line(colour_yellow, message);
    if (!platform_force_server_end(reason, sizeof reason)) {
        log_warning("  WARNING: Could not stop the gameserver: ", reason);
    }
    wait_for_end_until(0);
}
