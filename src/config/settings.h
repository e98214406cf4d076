// The settings read from "molv.ini" at start-up.
#pragma once

#include <cstddef>

// Each value holds at most 254 characters.
constexpr std::size_t setting_capacity = 255;
using setting_value = char[setting_capacity];

// The settings, in the order in which they are read.
enum setting_id {
    exename,
    logfile,
    logfile_backups,
    game_mtl,
    game_mode_mtl,
    game_mode_std,
    game_package_custom,
    game_mode_custom,
    game_mutators_custom,
    game_mutators,
    game_startmap,
    max_players,
    min_uptime,
    logfile_backups_days,
    query_port,
    query_host,
    hang_timeout,
    stop_timeout,
    restart_at,
    on_event,
    status_file,
    restart_when_empty,
    setting_count
};

struct setting_key {
    const char* section;
    const char* key;
    const char* default_value;
};

// Section, key and default of every setting, indexed by setting_id.
extern const setting_key setting_keys[setting_count];

// The values, written once by load_settings and read afterwards.
extern setting_value settings[setting_count];

// The name of the settings file in the current directory.
extern const char settings_file_name[];

// Copies every default into `values`.
void default_settings(setting_value* values);

// Reports whether "molv.ini" is there, reads every setting from it and
// warns about the numbers it cannot take. Where it names no status_file,
// the environment variable MOLV_STATUS_FILE names it.
void load_settings();
void load_settings_file();

// The numbers behind min_uptime and logfile_backups_days, set by
// load_settings: an instance that ends sooner than `uptime_seconds` after
// its launch is restarted after a pause; backups older than
// `backup_retention_days` are removed after each end, 0 keeping them all.
extern unsigned uptime_seconds;
extern unsigned backup_retention_days;

constexpr unsigned default_uptime_seconds = 10;
constexpr unsigned longest_uptime_seconds = 86400;
// Larger counts of days keep every file as surely, and the ages in seconds
// stay far from any limit.
constexpr unsigned longest_retention_days = 1000000;

// Reads a min_uptime value: decimal digits up to 86400. Returns false, and
// gives the default of 10, for anything else.
bool read_uptime_seconds(const char* text, unsigned& seconds);

// Reads a logfile_backups_days value: decimal digits, counts above
// longest_retention_days taken as that. Returns false, and gives 0 (keep
// every backup), for anything else.
bool read_retention_days(const char* text, unsigned& days);

// The numbers behind the hang watchdog, set by load_settings: the UDP port
// that is queried (0: no watchdog) and its IPv4 address, written
// (a << 24) | (b << 16) | (c << 8) | d; the seconds of silence after which a
// server that has answered is stopped, and the seconds a polite stop may
// take before force.
extern unsigned query_port_number;
extern unsigned long query_address;
extern unsigned hang_timeout_seconds;
extern unsigned stop_timeout_seconds;

constexpr unsigned long loopback_address = 0x7F000001UL;
constexpr unsigned default_hang_timeout_seconds = 60;
constexpr unsigned longest_hang_timeout_seconds = 86400;
constexpr unsigned default_stop_timeout_seconds = 10;
constexpr unsigned longest_stop_timeout_seconds = 600;

// Reads a query_port value: empty or "0" give 0 (no watchdog), decimal
// digits up to 65535 the port. Returns false, and gives 0, for anything else.
bool read_query_port(const char* text, unsigned& port);

// Reads a query_host value: a dotted IPv4 address of four decimal numbers up
// to 255. Returns false, and gives 127.0.0.1, for anything else.
bool read_ipv4_address(const char* text, unsigned long& address);

// Reads a hang_timeout value: decimal digits from 1 to 86400. Returns false,
// and gives 60, for anything else.
bool read_hang_timeout(const char* text, unsigned& seconds);

// Reads a stop_timeout value: decimal digits from 0 to 600. Returns false,
// and gives 10, for anything else.
bool read_stop_timeout(const char* text, unsigned& seconds);

// The times of day of the scheduled restarts.
constexpr unsigned restart_time_capacity = 24;
struct restart_list {
    unsigned count;
    unsigned seconds[restart_time_capacity];    // seconds after midnight
    char written[restart_time_capacity][9];     // "05:30" or "05:30:15", as listed
};

// The scheduled restarts, set by load_settings; none when restart_at is
// empty or not a list of times.
extern restart_list restart_times;

// Reads a restart_at value: times "HH:MM" or "HH:MM:SS" (24-hour, two digits
// each) separated by commas, blanks allowed around each, at most 24. An
// empty value gives an empty list. Returns false, and gives an empty list,
// for anything else.
bool read_restart_times(const char* text, restart_list& list);

// The minutes a scheduled restart waits for the players to leave, set by
// load_settings; 0 (the default) restarts at the set time whoever plays.
// Without a query port there is no count to wait for: load_settings warns
// and leaves it at 0.
extern unsigned restart_when_empty_minutes;
constexpr unsigned longest_restart_when_empty_minutes = 1440;

// Reads a restart_when_empty value: decimal digits from 0 to 1440. Returns
// false, and gives 0, for anything else.
bool read_restart_when_empty(const char* text, unsigned& minutes);

// Whether a status_file value names a file: empty (no status file) or a
// name that does not end in a folder separator, is not "." or ".." in its
// last part, and holds no control character.
bool is_status_file_name(const char* text);
