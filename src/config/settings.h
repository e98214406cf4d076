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
// warns about the numbers it cannot take.
void load_settings();

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
