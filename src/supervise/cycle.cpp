#include "supervise/cycle.h"

#include <cstdio>

#include "config/launch_profile.h"
#include "config/settings.h"
#include "console/log_line.h"
#include "text/text.h"
#include "platform/platform.h"
#include "supervise/backup.h"
#include "supervise/retention.h"

bool first_start = false;

namespace {

// The pause before the next launch; 0 after an instance that lived long
// enough, growing with failed launches and quick ends in a row.
unsigned retry_delay = 0;

// When the running instance was launched, in monotonic milliseconds.
unsigned long long launched_at = 0;

} // namespace

unsigned next_retry_delay(unsigned previous_delay)
{
    if (previous_delay == 0) {
        return 1;
    }
    return previous_delay >= 30 ? 60 : previous_delay * 2;
}

unsigned delay_after(unsigned previous_delay, instance_end end)
{
    return end == instance_end::lived ? 0 : next_retry_delay(previous_delay);
}

instance_end end_of_instance(unsigned long long lived_ms, unsigned min_uptime_seconds)
{
    return lived_ms < min_uptime_seconds * 1000ULL ? instance_end::quick : instance_end::lived;
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
    launched_at = platform_monotonic_ms();
    log_line(colour_green, "  > Gameserver is now running.");
    return true;
}

// A launch that failed, or an instance that ended soon after it, is followed
// by a growing pause, so that a missing or broken server never makes the
// supervisor spin.
static void pause_before_retry(instance_end end)
{
    retry_delay = delay_after(retry_delay, end);
    // A stop asked for ends the cycle without another try.
    if (retry_delay == 0 || platform_stop_requested()) {
        return;
    }
    char message[64];
    std::snprintf(message, sizeof message, "  > Retrying in %u seconds...", retry_delay);
    log_line(colour_white, message);
    platform_sleep_seconds(retry_delay);
}

void wait_for_server()
{
    platform_wait_server();
    const unsigned long long lived_ms = platform_monotonic_ms() - launched_at;
    log_line(colour_yellow, "  WARNING: Server crashed or closed!");
    if (settings[logfile_backups][0] == '1') {
        backup_log();
        remove_old_backups();
    }
    pause_before_retry(end_of_instance(lived_ms, uptime_seconds));
}

void supervise_server()
{
    for (;;) {
        if (start_server()) {
            wait_for_server();
        } else {
            pause_before_retry(instance_end::launch_failed);
        }
        if (platform_stop_requested()) {
            return;
        }
    }
}
