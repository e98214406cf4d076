#include "supervise/cycle.h"

#include <cstdio>
#include <ctime>

#include "config/launch_profile.h"
#include "config/settings.h"
#include "console/log_line.h"
#include "platform/platform.h"
#include "supervise/backup.h"
#include "supervise/events.h"
#include "supervise/recovery.h"
#include "supervise/retention.h"
#include "supervise/schedule.h"
#include "supervise/status.h"
#include "supervise/stop.h"
#include "supervise/watchdog.h"

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

// Why an instance ended: by itself, or stopped by MOLV for a hang, a
// scheduled restart or a stop asked of MOLV.
enum class end_cause { by_itself, hung, scheduled, stop_asked };

// The scheduled restarts: which listed times have been taken, the wall clock
// at the last look, and whether the alarm wakes the wait or the wait must
// wake itself.
restart_memory restarts_taken = restart_memory_start();
long long last_look_local = 0;
bool looked_before = false;
bool alarm_works = false;
long long next_restart_epoch = -1;

// Without an alarm that follows the clock, the wait looks at the clock once
// a minute; beside an alarm that is not told of a clock that is set, once
// an hour.
constexpr unsigned long long clock_look_ms = 60000;
constexpr unsigned long long clock_check_ms = 3600000;

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

    // The log as the server finds it goes into its record: a log still the
    // same after its end was never written by it.
    if (settings[logfile_backups][0] == '1') {
        char fingerprint[file_fingerprint_capacity] = "";
        platform_file_fingerprint(settings[logfile], fingerprint, sizeof fingerprint);
        platform_note_launch_log(fingerprint);
    }
    char reason[256] = "";
    if (!platform_start_server(settings[exename], command_line, reason, sizeof reason)) {
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
    // A stop asked for ends the cycle without another try.
    if (retry_delay == 0 || platform_stop_requested()) {
        return;
    }
    char message[64];
    std::snprintf(message, sizeof message, "  > Retrying in %u %s...", retry_delay,
                  retry_delay == 1 ? "second" : "seconds");
    log_line(colour_white, message);
    status_retry_pause(retry_delay);
    status_flush();
    platform_sleep_seconds(retry_delay);
    status_retry_pause(0);
}

// The local seconds at an epoch second, from the same local time as the
// time stamps of the console lines.
static long long local_seconds_at(long long epoch_seconds)
{
    const std::time_t at = static_cast<std::time_t>(epoch_seconds);
    const std::tm* local = std::localtime(&at);
    if (local == nullptr) {
        return epoch_seconds;
    }
    return days_from_civil(local->tm_year + 1900LL, static_cast<unsigned>(local->tm_mon + 1),
                           static_cast<unsigned>(local->tm_mday)) *
               seconds_per_day +
           local->tm_hour * 3600LL + local->tm_min * 60LL + local->tm_sec;
}

// Looks at the wall clock: returns the index of the listed restart time
// that has come since the last look, or -1, and sets the alarm for the next.
static int look_at_schedule()
{
    const long long now_epoch = platform_epoch_seconds();
    const long long now_local = local_seconds_at(now_epoch);
    const int due = looked_before
                        ? due_restart(restart_times, restarts_taken, last_look_local, now_local)
                        : -1;
    last_look_local = now_local;
    looked_before = true;
    next_restart_epoch =
        alarm_epoch(now_epoch, next_restart_local(restart_times, now_local), local_seconds_at);
    alarm_works = platform_set_alarm(next_restart_epoch);
    return due;
}

// The monotonic time at which the wait must look at the clock by itself: a
// minute ahead at most where there is no alarm, 0 where the alarm wakes it.
static unsigned long long schedule_wake_at()
{
    if (restart_times.count == 0) {
        return 0;
    }
    if (alarm_works) {
        return platform_alarm_sees_clock_sets() ? 0 : platform_monotonic_ms() + clock_check_ms;
    }
    const long long left = next_restart_epoch - platform_epoch_seconds();
    const unsigned long long left_ms = left > 0 ? static_cast<unsigned long long>(left) * 1000ULL : 0;
    return platform_monotonic_ms() + (left_ms < clock_look_ms ? left_ms : clock_look_ms);
}

// A new query socket for this instance, so that a late answer to a query
// of the instance before cannot arm its watchdog. False when there is none.
static bool open_query_socket()
{
    char reason[256] = "";
    if (!platform_query_open(query_address, static_cast<unsigned short>(query_port_number), reason,
                             sizeof reason)) {
        log_warning("  WARNING: Could not open the query socket: ", reason);
        return false;
    }
    return true;
}

static unsigned long long earlier_wake(unsigned long long one, unsigned long long other)
{
    if (one == 0) {
        return other;
    }
    return other == 0 || one < other ? one : other;
}

// Waits for the instance's end. Meanwhile it queries the server when a
// query port is set, stops it once it has fallen silent, and stops it when
// a scheduled restart comes. Returns once the instance has ended.
static end_cause watch_server()
{
    const bool watching = query_port_number != 0 && open_query_socket();
    watchdog dog = watchdog_start(launched_at, hang_timeout_seconds);
    if (answered_before) {
        watchdog_answer(dog, launched_at);
    }
    if (restart_times.count != 0) {
        // Times that came while no instance ran pass without effect.
        look_at_schedule();
    }
    for (;;) {
        unsigned long long wake_at = 0;
        // Once a stop is under way, a server that closes slowly is not also
        // called hung.
        if (watching && !platform_stop_requested()) {
            // Every answer already waiting is read before anything is decided.
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
            if (step.warn_no_answer) {
                char message[160];
                std::snprintf(message, sizeof message,
                              "  WARNING: No answer on query port %u yet; hang detection starts "
                              "at the first answer.",
                              query_port_number);
                log_line(colour_yellow, message);
            }
            if (step.hung) {
                char message[160];
                std::snprintf(message, sizeof message,
                              "  WARNING: Gameserver has not answered for %u %s! Stopping it...",
                              hang_timeout_seconds, hang_timeout_seconds == 1 ? "second" : "seconds");
                log_line(colour_yellow, message);
                pass_event_number("hung", hang_timeout_seconds);
                stop_gameserver();
                return end_cause::hung;
            }
            wake_at = step.wake_at_ms;
        }
        status_flush();
        const unsigned long long wake =
            earlier_wake(earlier_wake(wake_at, schedule_wake_at()), status_retry_at_ms());
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
        case server_wake::alarm:
        case server_wake::deadline:
            if (restart_times.count != 0) {
                const int due = look_at_schedule();
                if (due >= 0) {
                    log_line(colour_white, "  > Scheduled restart: stopping the gameserver...");
                    pass_event("scheduled", restart_times.written[due]);
                    stop_gameserver();
                    return end_cause::scheduled;
                }
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
    pass_event("ended", detail);
}

void wait_for_server()
{
    const end_cause cause = watch_server();
    const unsigned long long lived_ms = platform_monotonic_ms() - launched_at;
    if (cause == end_cause::stop_asked) {
        status_server_stopped();
    } else {
        status_server_ended(cause == end_cause::hung        ? status_end::hung
                            : cause == end_cause::scheduled ? status_end::scheduled
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
    // A scheduled restart is no sign of a broken server.
    pause_before_retry(cause == end_cause::scheduled ? instance_end::lived
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
    answered_before = platform_previous_record(record) && record.answered;
    status_server_running(platform_epoch_seconds());
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
        if (platform_stop_requested()) {
            // The event programs of the last end get their time to deliver
            // before MOLV, and a container with it, goes.
            platform_wait_event_programs_until(platform_monotonic_ms() +
                                               stop_timeout_seconds * 1000ULL);
            return;
        }
    }
}
