// The few operations MOLV needs from the operating system. Two backends
// implement them as whole files: win32/ on Windows, posix/ elsewhere.
// Nothing here names a Windows type; the rest of the program includes only
// this header.
#pragma once

#include <cstddef>

#include "platform/lock_record.h"

// An opaque handle to the console output, as kept by log_line.
using platform_console = void*;

// Prepares the process before it opens or starts anything: a closed
// standard descriptor is opened on the null device, inherited descriptors
// are kept from the server, output to a reader that is gone and writes past
// a file-size limit fail instead of ending the program, and as a container's
// first process every child is reaped and a stop signal is passed on to the
// server.
void platform_prepare_process();

// True once a stop was asked for, by a signal that MOLV passes on to the
// server as a container's first process; the cycle then ends after the
// server's end has been handled.
bool platform_stop_requested();

// Sets the console window title (on a terminal: the title sequence).
void platform_set_title(const char* title);

// Makes the console safe to write to whatever the operator does with it: on
// Windows, QuickEdit is turned off for its input, so that a click into the
// window does not hold every later write until a key is pressed.
void platform_prepare_console();

// Returns the standard-output handle of the console.
platform_console platform_console_output();

// Sets the text colour of later output to a console attribute (10, 11, 12,
// 14 or 15); does nothing when the output is not a console or terminal.
void platform_set_colour(platform_console console, unsigned short colour);

// Writes the path under which `file_name` in the current directory is read to
// `destination`: the absolute path on Windows (in UTF-8), whose profile
// reader looks for a bare name elsewhere; the name itself on POSIX, which no
// length of the current directory can break. Returns false (and leaves an
// empty text) when it does not fit or the current directory cannot be read.
bool platform_settings_path(const char* file_name, char* destination, std::size_t capacity);

// Makes sure the settings file at `path` can be read whole, and keeps it for
// the platform_profile_string calls with the same path that follow, so that
// they all answer from one reading. Returns false with the system's reason
// when the file cannot be read or is too large to hold.
bool platform_profile_load(const char* path, char* reason, std::size_t reason_capacity);

// Lets go of what platform_profile_load keeps.
void platform_profile_release();

// Reads `key` of `section` from the INI file at `path` into `destination`,
// with the contract of the Windows profile reader: the value, or the default
// when the file, section or key is missing; at most capacity-1 characters,
// always terminated. Returns the number of characters copied. Without a
// platform_profile_load of the same path, the file is read for this call
// alone, and a file that cannot be read gives the default.
unsigned long platform_profile_string(const char* section, const char* key,
                                      const char* default_value, char* destination,
                                      unsigned long capacity, const char* path);

// True when `name` opens for reading as a file (a directory does not count).
bool platform_file_readable(const char* name);

// Prints the "press any key" prompt and waits for one key; returns at once
// at the end of input. A signal that ends the program meanwhile finds the
// terminal as it was before the prompt.
void platform_pause();

// Starts the server: the program `exename` (relative to the current
// directory, no search) with `command_line` as its whole command line, in a
// console or session of its own. The server is recorded in the lock file
// (its process id and what tells it apart from a later process with the
// same id) before it can run, so that a MOLV ended at any moment leaves no
// server that the next one does not know of. Returns false and writes the
// system's reason to `reason` when it could not be started.
bool platform_start_server(const char* exename, const char* command_line,
                           char* reason, std::size_t reason_capacity);

// The process id of the server started last, 0 when none runs.
unsigned long platform_server_id();

// What woke a wait for the server.
enum class server_wake {
    ended,       // the server has ended; everything held for it is released
    deadline,    // the deadline passed
    query_ready, // a datagram (or an error) waits on the query socket
    alarm,       // the real-time alarm came, or the clock was set
    stop_asked,  // a stop was asked for (once per run, POSIX as PID 1)
    asked,       // a request came (platform_take_request); told once each
};

// Blocks until the server started last has ended, a datagram waits on the
// query socket (when one is open), the alarm set with platform_set_alarm
// comes or the clock is set, or the monotonic clock reaches `deadline_ms`
// (0: no deadline), whichever is first. A stop asked for (as a container's
// first process) wakes it once with `stop_asked`, a request once with
// `asked`. Collects every other child that
// ends meanwhile (orphans, event programs). Returns `ended` at once when the
// server has ended, also when other things are ready too; with no server
// running it returns `ended` at once.
server_wake platform_wait_server_until(unsigned long long deadline_ms);

// How the server that ended last ended: by itself with an exit code, or
// (POSIX) killed by a signal.
struct server_end {
    bool by_signal;
    unsigned long code; // the exit code, or the signal's number
    bool unknown;       // a server found again, not MOLV's child (POSIX): no status
};
server_end platform_last_server_end();

// The stop of the server. The polite part: SIGTERM to the server's process
// group on POSIX, WM_CLOSE posted to each top-level window of every process
// of the server's job on Windows. Returns false with the system's reason
// when the request could not be made at all (a server without windows is no
// failure: force follows after the timeout).
bool platform_ask_server_to_stop(char* reason, std::size_t reason_capacity);

// The forced part: SIGKILL to the server's process group on POSIX,
// TerminateProcess on Windows. Returns false with the system's reason.
bool platform_force_server_end(char* reason, std::size_t reason_capacity);

// What is left of the server once its own process has ended: on POSIX the
// processes of its session (and of its process group, should one have moved
// to a session of its own), on Windows the processes of its job. The number
// of them that still run; 0 at once, without looking at every process, when
// the server was alone.
unsigned platform_server_leftovers();

// Why the server could not be kept together with what it starts (Windows:
// put into a job), the first time that happened; true once with the reason,
// false after that and where nothing failed.
bool platform_take_grouping_failure(char* reason, std::size_t reason_capacity);

// The polite part of their stop: SIGTERM to each one that the stop of the
// server has not reached yet on POSIX, WM_CLOSE to their windows on Windows.
void platform_ask_leftovers_to_stop();

// The forced part: SIGKILL to each on POSIX, the whole job ended on Windows.
void platform_force_leftovers_end();

// Waits until none is left, or the monotonic clock reaches `deadline_ms`
// (0: for as long as it takes). True once none is left. Children that end
// meanwhile are collected.
bool platform_wait_leftovers_gone(unsigned long long deadline_ms);

// Waits until no event program runs any more, or the monotonic clock reaches
// `deadline_ms`; true when none runs.
bool platform_wait_event_programs_until(unsigned long long deadline_ms);

// The UDP socket of the hang watchdog, MOLV's own. Opens it for status
// queries to `address` (IPv4, a.b.c.d as (a << 24) | ... | d) and `port`.
// Returns false with the system's reason; nothing is held then.
bool platform_query_open(unsigned long address, unsigned short port, char* reason,
                         std::size_t reason_capacity);

// Sends the status query "\info\" (6 bytes). A failure is not reported: it
// only means no answer will come.
void platform_query_send();

// Reads every datagram and error waiting on the socket, without blocking;
// true when at least one datagram came from the queried address and port.
// The last such datagram's bytes go to `answer`, at most `capacity` of
// them (the rest is cut, and no terminator is added), and their count to
// `*length` (0 when none came); nothing is copied when `answer` is null.
bool platform_query_answered(char* answer = nullptr, std::size_t capacity = 0,
                             std::size_t* length = nullptr);

// Room for an answer as the watchdog keeps it: a datagram of an Ethernet
// frame; longer ones are cut.
constexpr std::size_t query_answer_capacity = 1472;

// Closes the socket; nothing when none is open.
void platform_query_close();

// Sets the real-time alarm to the time `epoch_seconds` (seconds since
// 1970-01-01 UTC), or clears it with a negative value. The alarm follows the
// clock when it is set or synchronised, and a wait returns `alarm` when it
// comes or when the clock is set. Returns false when the system has no such
// timer; the caller then wakes itself.
bool platform_set_alarm(long long epoch_seconds);

// Whether a wait wakes with `alarm` when the clock is set (POSIX); where it
// does not (Windows), the caller looks at the clock now and then.
bool platform_alarm_sees_clock_sets();

// Seconds since 1970-01-01 UTC on the real-time clock.
long long platform_epoch_seconds();

// The most event programs that may run at once.
constexpr unsigned event_program_capacity = 4;

// Starts the on_event program `program` (relative to the current directory
// or absolute, no search, no shell; on Windows as CreateProcessA starts it,
// so a .bat works) with the two arguments `event` and `detail`, without
// waiting for it. It shares MOLV's console and output, reads its input from
// the null device, and gets no other descriptor or handle of MOLV's.
// Returns false with the system's reason when it could not be started.
bool platform_run_event_program(const char* program, const char* event, const char* detail,
                                char* reason, std::size_t reason_capacity);

// True when `program` names a file that is there, found as
// platform_run_event_program looks for it (relative to the current directory
// or absolute, no search); a folder does not count.
bool platform_event_program_found(const char* program);

// The number of event programs that still run; those that have ended are
// collected first.
unsigned platform_event_programs_running();

enum class copy_result { copied, exists, source_missing, failed };

// Copies `source` to the new file `destination`, never replacing an existing
// one. The copy is written under no name or under a working name
// (working_name.h) and takes `destination` only once it is complete, so that
// MOLV ended at any moment, even killed, leaves a whole copy or none under
// `destination`. On POSIX it gets the permission bits of `source`. On
// `failed`, `reason` holds the system's reason and nothing is left behind.
copy_result platform_copy_new(const char* source, const char* destination,
                              char* reason, std::size_t reason_capacity);

// Sleeps for the given number of seconds; returns early once a stop was
// asked for, or a request waits to be taken.
void platform_sleep_seconds(unsigned seconds);

// Removes the copies that an ended MOLV left under working names in the
// current directory: plain files only, never one of a process that still
// runs (other than this one, which is not copying when it calls this). On
// POSIX the folder is searched at the first call, and at later ones only
// where copies go under working names (the file system has no O_TMPFILE),
// as nothing else leaves any.
void platform_remove_stale_copies();

// Milliseconds on a clock that only moves forward, whatever is done to the
// time of day; where it starts is of no meaning.
unsigned long long platform_monotonic_ms();

// What one pass of platform_remove_old_files did.
struct removal_pass {
    unsigned removed;
    unsigned failed;  // files that stayed, or 1 when the folder could not be read
    char reason[256]; // the system's reason for the first failure
};

// Decides from its name alone whether a file may be looked at for removal.
using removal_filter = bool (*)(const char* name, const void* context);

// Removes from the current directory the regular files (no folders, no
// links) whose name `wanted` accepts and that were last modified more than
// `age_seconds` ago, except the file that the path `spared` leads to,
// however it is written. Names that `wanted` refuses are not looked at
// further.
void platform_remove_old_files(removal_filter wanted, const void* context,
                               unsigned long long age_seconds, const char* spared,
                               removal_pass& pass);

// Writes MOLV's current folder as a full path to `destination`: in UTF-8 on
// Windows, as the system has it on POSIX. Returns false (and an empty
// text) with the system's reason when it cannot be read or does not fit.
bool platform_current_folder(char* destination, std::size_t capacity, char* reason,
                             std::size_t reason_capacity);

// Replaces the file `path` with the `length` bytes at `text`, as they are
// (no line ends changed), whole or not at all: they go to a temporary name
// in the same folder (`path` with ".<process id>.tmp" added), open to MOLV
// alone, which then takes the file's name in one step (rename; MoveFileExW
// with MOVEFILE_REPLACE_EXISTING). On Windows that file is made anew, never
// opened through a name that is there, and those that ended MOLVs left are
// removed. A reader sees the old file or the new one, never a part. Returns
// false with the system's reason; nothing is left under the temporary name
// then.
bool platform_replace_file(const char* path, const char* text, std::size_t length, char* reason,
                           std::size_t reason_capacity);
// What platform_other_status_files passes on of each file it looks at:
// its name in the folder, and its first bytes (no terminator added).
using status_sibling_visitor = void (*)(const char* name, const char* content,
                                        std::size_t length, void* context);

// The most files platform_other_status_files looks at, and the bytes it
// reads of each: a status file names its folder in its first lines.
constexpr unsigned status_sibling_limit = 256;
constexpr std::size_t status_sibling_bytes = 65536;

// Calls `seen` for each other plain file named "*.prom" in the folder of
// the status file `path` (the current folder when it names none): not the
// file `path` itself, under whatever name, and only those that can be
// opened and read, opened for reading alone and never inherited.
void platform_other_status_files(const char* path, status_sibling_visitor seen, void* context);

// The name of the lock file in the current folder.
constexpr char lock_file_name[] = "molv.lock";

enum class folder_lock {
    held,   // this MOLV holds the folder's lock until it ends
    busy,   // another MOLV holds it
    failed, // the lock file could not be made or locked
};

// Takes the lock of the current folder for the rest of the run, on the file
// "molv.lock", and writes this MOLV's process id into it. The system lets go
// of it when MOLV ends in any way. On `busy`, `holder` is the other MOLV's
// process id as its file says, 0 when it cannot be read; on `failed`,
// `reason` holds the system's reason.
folder_lock platform_lock_folder(unsigned long& holder, char* reason, std::size_t reason_capacity);

// The record the lock file held when this MOLV took the lock; false when it
// names no server, or no lock is held.
bool platform_previous_record(lock_record& record);

// Notes in the record that the server started last has answered a status
// query; once per server.
void platform_record_answered();

// Notes in the record, before the copy is begun, the name of the copy of
// the log of the server that ended last.
void platform_record_backup(const char* name);

// When the server the lock file names has ended (it is not found running),
// makes what it left (on POSIX the processes of its session or group, on
// Windows those of its job) what platform_server_leftovers looks at, and
// returns true; false when that cannot be known (another boot, another
// process under its id) or nothing is left.
bool platform_watch_previous_server_remains();

// Gives up the server that did not end even when forced: it is no longer
// waited for, and the next launch goes on without it.
void platform_abandon_server();

// What tells the present content of the file `name` apart from any later
// one: on POSIX its inode, size and modification time to the nanosecond, on
// Windows its size and last write time. False (and an empty text) when it
// is not there or does not fit.
bool platform_file_fingerprint(const char* name, char* destination, std::size_t capacity);

// What the next launch records of the server's log: its fingerprint, or ""
// when there is none.
void platform_note_launch_log(const char* fingerprint);

// The time the file `name` was last modified, in seconds since 1970-01-01
// UTC; false when it cannot be read.
bool platform_file_modified(const char* name, long long& epoch_seconds);

// Looks at the server the lock file names. When that very process still
// runs, it becomes the server waited for, stopped and recorded as if MOLV
// had started it, and its process id is returned; otherwise 0, and nothing
// is said.
unsigned long platform_find_server();

// The record's facts of the run changed: they are written into the lock
// file's record, beside the server's.
void platform_record_facts(const run_facts& facts);

// Reads the record of the lock file in the current folder, without taking
// the lock or changing anything: true once a record written whole was read.
bool platform_read_record(lock_record& record);

// Whether the process `id` runs and is the one recorded with `identity`
// (as the lock record gives it for a MOLV or a server), not a later process
// under the same id.
bool platform_recorded_process_runs(unsigned long id, const char* identity);

// What another console may ask of the MOLV that runs in a folder, and what
// ends MOLV itself while the server keeps running (Ctrl+C, or a stop signal
// outside a container's first process).
enum class molv_request { none, restart, stop, leave };

// From here on, this MOLV takes requests: restart and stop from
// platform_send_request, leave from Ctrl+C or a stop signal. Returns false
// with the system's reason when requests cannot reach it.
bool platform_accept_requests(char* reason, std::size_t reason_capacity);

// The request that came last and was not taken yet, or none; a stop or a
// leave wins over a restart.
molv_request platform_take_request();

// Ends a MOLV that leaves as a stop signal asked (POSIX: that signal once
// more, as it would have ended the program); returns where there is none.
void platform_end_as_asked();

enum class request_sent { sent, not_running, refused };

// Sends `request` (restart or stop) to the MOLV `molv` recorded with
// `identity`, and to no other process. `refused` with the system's reason
// when this user may not ask it.
request_sent platform_send_request(unsigned long molv, const char* identity, molv_request request,
                                   char* reason, std::size_t reason_capacity);

// Waits until the process `id` recorded with `identity` has ended, or the
// monotonic clock reaches `deadline_ms`; true once it has ended.
bool platform_wait_recorded_end(unsigned long id, const char* identity,
                                unsigned long long deadline_ms);
