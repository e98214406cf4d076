// MOLV's state for a metrics collector: one record, kept up to date by the
// cycle, and written as a small file in the Prometheus text format (0.0.4)
// to the file named by status_file, at start and after every change, before
// MOLV waits again. An exporter that already runs on the machine (the node
// exporter's or the Windows exporter's textfile collector) serves it; MOLV
// listens on nothing.
#pragma once

#include <cstddef>

#include "supervise/server_info.h"

// How an instance ended: by itself (any end MOLV did not ask for), stopped
// as hung by the watchdog, stopped at a restart_at time, or stopped for a
// restart or stop that an operator asked of MOLV.
enum class status_end { crashed, hung, scheduled, asked };

// The state since MOLV started. Times are seconds since 1970-01-01 UTC.
struct molv_status {
    long long start_time;
    bool molv_ended; // the last write of a MOLV that ends
    bool server_up;
    long long server_start_time; // 0 before the first instance
    bool server_answering;
    bool server_watched; // queried for hang detection (query_port set)
    unsigned long long launches;
    unsigned long long launch_failures;
    unsigned long long ends[4]; // by status_end
    unsigned retry_delay;       // seconds, 0 when no pause is under way
    unsigned long long backups;
    unsigned long long backup_failures;
    unsigned long long events_not_run;
    // What the running instance's last answer said; shown only while it
    // answers.
    bool players_known;
    bool max_players_known;
    unsigned players;
    unsigned max_players;
    char map[server_info_text_capacity];
};

// Room for the current folder's path, and for the whole file with that
// path in every series, each byte escaped at most threefold.
constexpr std::size_t status_folder_capacity = 4096;
constexpr std::size_t status_text_capacity = 24 * (3 * status_folder_capacity + 160) + 4096;

// Writes `status` in the text format: a HELP and a TYPE line before each
// metric, every series with the label folder="`folder`" (escaped, and bytes
// that are no UTF-8 replaced), molv_info with version="`version`" too, no
// time stamps, lines ending in LF alone. Returns the length, or 0 (and an
// empty text) when it does not fit in `capacity`.
std::size_t render_status(const molv_status& status, const char* folder, const char* version,
                          char* destination, std::size_t capacity);

// `value` as a label value of the text format, as render_status writes
// the folder: escaped, and bytes that are no UTF-8 replaced. Returns the
// length, or 0 (and an empty text) when it does not fit in `capacity`.
std::size_t render_label_value(const char* value, char* destination, std::size_t capacity);

// Whether the `length` bytes at `text` hold a series with the label
// folder="`label`" (`label` escaped already, as render_label_value gives
// it): a status file that speaks for that folder.
bool speaks_for_folder(const char* text, std::size_t length, const char* label);

// The record as it stands.
const molv_status& current_status();

// The changes. They are written together by the next status_flush, so
// that the end of a server, its backup and the next launch cost one write,
// and none of it comes between the end and the next launch.

// MOLV has started at `now`, querying its servers when `watched`: the
// record starts afresh, and the folder is read. Another "*.prom" file in
// the status file's folder that speaks for the same folder is warned
// about, once each: the collector would serve both.
void status_begin(long long now, bool watched);
// An instance runs that started at `started`: launched by MOLV, or found
// running. Not a launch by itself.
void status_server_running(long long started);
// A launch that worked, at `now`: a launch, and an instance running.
void status_server_launched(long long now);
void status_launch_failed();
// The running instance answered a status query.
void status_server_answered();
// What that answer said: the players, the most there may be, and the map,
// each as far as the answer carried it. Nothing while no instance runs.
void status_server_info(const server_info& info);
void status_server_ended(status_end cause);
// The instance was stopped because MOLV itself was asked to stop: no end of
// the server's own, and none of the watchdog's or the schedule's.
void status_server_stopped();
// A pause of `seconds` before the next launch begins, or ends (0).
void status_retry_pause(unsigned seconds);
void status_log_backed_up();
void status_log_backup_failed();
// An event that was not passed on to the on_event program.
void status_event_not_run();

// The next scheduled restart, in seconds since 1970-01-01 UTC (0: none),
// for the lock file's record.
void status_next_restart(long long epoch_seconds);

// MOLV ends: the last write says so.
void status_molv_ending();

// Writes the file, and the facts of the lock file's record, when anything
// changed since the last write; called before every wait of the cycle.
void status_flush();

// Writes the file as it stands, as MOLV does once more when it ends. A
// write that fails is tried again by status_flush, at most once a second.
void status_write();

// The monotonic time at which a failed write is due to be tried again; 0
// when none failed.
unsigned long long status_retry_at_ms();
