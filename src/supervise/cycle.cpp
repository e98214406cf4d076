#include "supervise/cycle.h"

#include <cstdio>

#include "config/launch_profile.h"
#include "config/settings.h"
#include "console/log_line.h"
#include "platform/platform.h"
#include "supervise/backup.h"
#include "supervise/events.h"
#include "supervise/query_watch.h"
#include "supervise/quiet_restart.h"
#include "supervise/recovery.h"
#include "supervise/requests.h"
#include "supervise/retention.h"
#include "supervise/schedule_clock.h"
#include "supervise/status.h"
#include "supervise/stop.h"

bool first_start = false;

namespace {

// The pause before the next launch; 0 after an instance that lived long
// enough, growing with failed launches and quick ends in a row.
unsigned retry_delay = 0;

// When the running instance was launched, in monotonic milliseconds.
unsigned long long launched_at = 0;

// Whether the running instance is known to have answered before MOLV came
// (a server found again), so that its silence counts from the start.
bool answered_before = false;

// Why an instance ended: by itself, stopped by MOLV for a hang, a
// scheduled restart, a stop signal passed on, or a request; or MOLV leaves
// it running.
enum class end_cause { by_itself, hung, scheduled, stop_asked, asked, left_running };

} // namespace

bool start_server()
{
    if (first_start) {
        log_line(colour_white, "  > Starting gameserver...");
        first_start = false;
    } else {
        log_line(colour_white, "  > Restarting...");
    }

    // The log as the server finds it goes into its record: a log still the
    // same after its end was never written by it.
    if (settings[logfile_backups][0] == '1') {
        char fingerprint[file_fingerprint_capacity] = "";
        platform_file_fingerprint(settings[logfile], fingerprint, sizeof fingerprint);
        platform_note_launch_log(fingerprint);
    }
    char reason[256] = "";
    const bool launched = platform_start_server(settings[exename], command_line, reason,
                                                sizeof reason);
    // The end of the server before is passed on once the launch is made.
    pass_held_event();
    if (!launched) {
        log_warning("  WARNING: Could not start the gameserver: ", reason);
        status_launch_failed();
        pass_event("launch_failed", reason);
        return false;
    }
    launched_at = platform_monotonic_ms();
    answered_before = false;
    status_server_launched(platform_epoch_seconds());
    if (platform_take_grouping_failure(reason, sizeof reason)) {
        log_warning("  WARNING: The gameserver's own processes cannot be kept together: ",
                    reason);
    }
    log_line(colour_green, "  > Gameserver is now running.");
    pass_event_number("started", platform_server_id());
    return true;
}

// A launch that failed, or an instance that ended soon after it, is followed
// by a growing pause, so that a missing or broken server never makes the
// supervisor spin.
static void pause_before_retry(instance_end end)
{
    retry_delay = delay_after(retry_delay, end);
    // A stop asked for ends the cycle without another try; a restart asked
    // launches at once.
    if (serve_request_between() || retry_delay == 0 || platform_stop_requested()) {
        return;
    }
    char message[64];
    std::snprintf(message, sizeof message, "  > Retrying in %u %s...", retry_delay,
                  retry_delay == 1 ? "second" : "seconds");
    log_line(colour_white, message);
    status_retry_pause(retry_delay);
    status_flush();
    pass_held_event();
    platform_sleep_seconds(retry_delay);
    status_retry_pause(0);
    serve_request_between();
}

static unsigned long long earlier_wake(unsigned long long one, unsigned long long other)
{
    if (one == 0) {
        return other;
    }
    return other == 0 || one < other ? one : other;
}

// What the answers of the running instance have told of its players.
static quiet_view players_seen(const watchdog& dog)
{
    const molv_status& status = current_status();
    return {query_port_number != 0, dog.armed, status.players_known, status.players};
}

// Stops the server for the listed time `due`.
static end_cause restart_as_scheduled(int due)
{
    log_line(colour_white, "  > Scheduled restart: stopping the gameserver...");
    pass_event("scheduled", restart_times.written[due]);
    stop_gameserver();
    return end_cause::scheduled;
}

// Waits for the instance's end. Meanwhile it queries the server when a
// query port is set, stops it once it has fallen silent, stops it when a
// scheduled restart comes (after its players have left, when asked to wait
// for them), and serves requests. Returns once the instance has ended.
static end_cause watch_server()
{
    watchdog dog = {};
    const bool watching = query_watch_begin(dog, launched_at, answered_before);
    begin_schedule_watch();
    for (;;) {
        unsigned long long wake_at = 0;
        // Once a stop is under way, a server that closes slowly is not also
        // called hung.
        if (watching && !platform_stop_requested()) {
            if (query_watch_look(dog, wake_at)) {
                return end_cause::hung;
            }
            const int due = scheduled_restart_now(false, players_seen(dog));
            if (due >= 0) {
                return restart_as_scheduled(due);
            }
        }
        status_next_restart(next_scheduled_restart());
        status_flush();
        const unsigned long long wake = earlier_wake(
            earlier_wake(wake_at, schedule_wake_at()),
            earlier_wake(quiet_wait_ends_at(), status_retry_at_ms()));
        switch (platform_wait_server_until(wake)) {
        case server_wake::ended:
            if (!platform_stop_requested()) {
                return end_cause::by_itself;
            }
            // The stop passed on ended it: the rest of it still gets its
            // time to close.
            stop_gameserver(false);
            return end_cause::stop_asked;
        case server_wake::stop_asked:
            stop_gameserver(false);
            return end_cause::stop_asked;
        case server_wake::query_ready:
            // Read at the next look.
            break;
        case server_wake::asked:
            if (serve_request_while_running()) {
                return last_request() == molv_request::leave ? end_cause::left_running
                                                             : end_cause::asked;
            }
            break;
        case server_wake::alarm:
        case server_wake::deadline:
            const int due = scheduled_restart_now(true, players_seen(dog));
            if (due >= 0) {
                return restart_as_scheduled(due);
            }
            break;
        }
    }
}

// Says how the instance ended, stops what an instance that ended by itself
// left running, and then passes such an end on.
static void report_end(end_cause cause)
{
    if (cause != end_cause::by_itself) {
        log_line(colour_white, "  > Gameserver stopped.");
        return;
    }
    log_line(colour_yellow, "  WARNING: Server crashed or closed!");
    stop_leftovers();
    char detail[32];
    describe_server_end(platform_last_server_end(), detail, sizeof detail);
    hold_event("ended", detail);
}

void wait_for_server()
{
    const end_cause cause = watch_server();
    if (cause == end_cause::left_running) {
        return;
    }
    const unsigned long long lived_ms = platform_monotonic_ms() - launched_at;
    if (cause == end_cause::stop_asked) {
        status_server_stopped();
    } else {
        status_server_ended(cause == end_cause::hung        ? status_end::hung
                            : cause == end_cause::scheduled ? status_end::scheduled
                            : cause == end_cause::asked     ? status_end::asked
                                                            : status_end::crashed);
    }
    report_end(cause);
    if (settings[logfile_backups][0] == '1') {
        char failure[256] = "";
        if (!backup_log(failure, sizeof failure)) {
            pass_event("backup_failed", failure);
        }
        remove_old_backups();
    }
    // A scheduled or asked restart is no sign of a broken server.
    const bool stopped_on_purpose = cause == end_cause::scheduled || cause == end_cause::asked;
    pause_before_retry(stopped_on_purpose ? instance_end::lived
                                          : end_of_instance(lived_ms, uptime_seconds));
}

// Takes the server that a MOLV before this one started, when it still
// runs, instead of a launch; false when there is none.
static bool find_running_server()
{
    const unsigned long id = platform_find_server();
    if (id == 0) {
        return false;
    }
    char message[128];
    std::snprintf(message, sizeof message,
                  "  > Found the gameserver still running (process %lu); watching it.", id);
    log_line(colour_white, message);
    char reason[256] = "";
    if (platform_take_grouping_failure(reason, sizeof reason)) {
        log_warning("  WARNING: The gameserver's own processes cannot be kept together: ",
                    reason);
    }
    launched_at = platform_monotonic_ms();
    lock_record record = {};
    const bool recorded = platform_previous_record(record);
    answered_before = recorded && record.answered;
    // Since its start, when the MOLV before this one wrote it down.
    const long long since = recorded ? record.facts.server_since : 0;
    status_server_running(since > 0 ? since : platform_epoch_seconds());
    first_start = false;
    return true;
}

void supervise_server()
{
    bool found = find_running_server();
    if (!found) {
        take_over_ended_server();
    }
    for (;;) {
        if (found || start_server()) {
            found = false;
            wait_for_server();
        } else {
            pause_before_retry(instance_end::launch_failed);
        }
        if (last_request() == molv_request::leave) {
            pass_held_event();
            say_molv_leaves();
            return;
        }
        if (platform_stop_requested() || molv_asked_to_end()) {
            pass_held_event();
            // The event programs of the last end get their time to deliver
            // before MOLV, and a container with it, goes.
            platform_wait_event_programs_until(platform_monotonic_ms() +
                                               stop_timeout_seconds * 1000ULL);
            return;
        }
    }
}
