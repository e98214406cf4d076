#include "supervise/cycle.h"

#include <cstdio>

#include "config/launch_profile.h"
#include "config/settings.h"
#include "console/log_line.h"
#include "text/text.h"
#include "platform/platform.h"
#include "supervise/backup.h"

bool first_start = false;

namespace {

// The delay before the next try; 0 while launches succeed.
unsigned retry_delay = 0;

} // namespace

unsigned next_retry_delay(unsigned previous_delay)
{
    if (previous_delay == 0) {
        return 1;
    }
    return previous_delay >= 30 ? 60 : previous_delay * 2;
}

bool start_server()
{
    if (first_start) {
        log_line(colour_white, "  > Starting gameserver...");
        first_start = false;
    } else {
        log_line(colour_white, "  > Restarting...");
    }

    char reason[256] = "";
    if (!platform_start_server(settings[exename], command_line, reason, sizeof reason)) {
        char message[320];
        copy_text(message, sizeof message, "  WARNING: Could not start the gameserver: ");
        append_text(message, sizeof message, reason);
        log_line(colour_yellow, message);
        return false;
    }
    retry_delay = 0;
    log_line(colour_green, "  > Gameserver is now running.");
    return true;
}

void wait_for_server()
{
    platform_wait_server();
    log_line(colour_yellow, "  WARNING: Server crashed or closed!");
    if (settings[logfile_backups][0] == '1') {
        backup_log();
    }
}

// A launch that failed is retried after a growing pause, so that a missing
// or broken executable never makes the supervisor spin.
static void pause_before_retry()
{
    retry_delay = next_retry_delay(retry_delay);
    char message[64];
    std::snprintf(message, sizeof message, "  > Retrying in %u seconds...", retry_delay);
    log_line(colour_white, message);
    platform_sleep_seconds(retry_delay);
}

void supervise_server()
{
    for (;;) {
        if (start_server()) {
            wait_for_server();
        } else {
            pause_before_retry();
        }
        if (platform_stop_requested()) {
            return;
        }
    }
}
