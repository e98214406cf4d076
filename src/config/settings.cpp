#include "config/settings.h"

#include "console/log_line.h"
#include "text/text.h"
#include "platform/platform.h"

const setting_key setting_keys[setting_count] = {
    {"GENERAL", "exename", "deusex.exe"},
    {"GENERAL", "logfile", "server.log"},
    {"GENERAL", "logfile_backups", "1"},
    {"GAME", "game_mtl", "0"},
    {"GAME", "game_mode_mtl", "MTLDeathmatch"},
    {"GAME", "game_mode_std", "DeathMatchGame"},
    {"GAME", "game_package_custom", "UnrealI"},
    {"GAME", "game_mode_custom", "DeathMatchGame"},
    {"GAME", "game_mutators_custom", "NULL"},
    {"GAME", "game_mutators", "NULL"},
    {"GAME", "game_startmap", "DXMP_Area51_Bunker"},
    {"GAME", "max_players", "10"},
    {"GENERAL", "min_uptime", "10"},
    {"GENERAL", "logfile_backups_days", "0"},
};

setting_value settings[setting_count] = {};

unsigned uptime_seconds = default_uptime_seconds;
unsigned backup_retention_days = 0;

const char settings_file_name[] = "molv.ini";

// Room for any current directory the platform may report, plus the name.
static char settings_path[4200] = "";

void default_settings(setting_value* values)
{
    for (int id = 0; id < setting_count; ++id) {
        copy_text(values[id], setting_capacity, setting_keys[id].default_value);
    }
}

// A settings file that is there but cannot be read is said so, rather than
// taken for one that holds nothing.
static void refuse_settings_file(const char* reason)
{
    char message[400];
    copy_text(message, sizeof message, "  WARNING: Could not read ");
    append_text(message, sizeof message, settings_file_name);
    append_text(message, sizeof message, ": ");
    append_text(message, sizeof message, reason);
    append_text(message, sizeof message, ". Using default settings.");
    log_line(colour_yellow, message);
}

namespace {

// Reads decimal digits, at least one and nothing else, into `number`, which
// stops growing at `ceiling` + 1 so that no count of digits overflows it.
bool read_digits(const char* text, unsigned ceiling, unsigned& number)
{
    number = 0;
    if (text[0] == '\0') {
        return false;
    }
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9') {
            return false;
        }
        if (number <= ceiling) {
            number = number * 10 + static_cast<unsigned>(*at - '0');
        }
    }
    return true;
}

// Turns the text of both numeric settings into numbers, warning about each
// value that is not one.
void read_numbers()
{
    if (!read_uptime_seconds(settings[min_uptime], uptime_seconds)) {
        log_line(colour_yellow, "  WARNING: min_uptime is not a number of seconds; using 10.");
    }
    if (!read_retention_days(settings[logfile_backups_days], backup_retention_days)) {
        log_line(colour_yellow,
                 "  WARNING: logfile_backups_days is not a number of days; keeping every backup.");
    }
}

} // namespace

bool read_uptime_seconds(const char* text, unsigned& seconds)
{
    unsigned number = 0;
    if (!read_digits(text, longest_uptime_seconds, number) || number > longest_uptime_seconds) {
        seconds = default_uptime_seconds;
        return false;
    }
    seconds = number;
    return true;
}

bool read_retention_days(const char* text, unsigned& days)
{
    unsigned number = 0;
    if (!read_digits(text, longest_retention_days, number)) {
        days = 0;
        return false;
    }
    days = number > longest_retention_days ? longest_retention_days : number;
    return true;
}

void load_settings()
{
    const unsigned long value_capacity = setting_capacity;
    bool have_path = platform_settings_path(settings_file_name, settings_path, sizeof settings_path);

    if (!platform_file_readable(settings_file_name)) {
        log_line(colour_yellow, "  WARNING: Config file not found. Using default settings.");
        default_settings(settings);
        return;
    }
    log_line(colour_white, "  Loading settings...");

    char reason[256] = "";
    if (!have_path) {
        // Without its path the reader could look elsewhere.
        refuse_settings_file("the path of the current folder is too long");
        default_settings(settings);
        return;
    }
    if (!platform_profile_load(settings_path, reason, sizeof reason)) {
        refuse_settings_file(reason);
        default_settings(settings);
        return;
    }
    for (int id = 0; id < setting_count; ++id) {
        const setting_key& entry = setting_keys[id];
        platform_profile_string(entry.section, entry.key, entry.default_value, settings[id],
                                value_capacity, settings_path);
    }
    platform_profile_release();
    read_numbers();
}
