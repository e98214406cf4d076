// The twelve settings read from "molv.ini" at start-up.
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

// Reports whether "molv.ini" is there and reads all twelve settings from it.
void load_settings();
