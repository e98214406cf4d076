#include "config/settings.h"

#include <cstdlib>
#include <cstring>

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
    {"GENERAL", "query_port", ""},
    {"GENERAL", "query_host", "127.0.0.1"},
    {"GENERAL", "hang_timeout", "60"},
    {"GENERAL", "stop_timeout", "10"},
    {"GENERAL", "restart_at", ""},
    {"GENERAL", "on_event", ""},
    {"GENERAL", "status_file", ""},
    {"GENERAL", "restart_when_empty", "0"},
};

setting_value settings[setting_count] = {};

unsigned uptime_seconds = default_uptime_seconds;
unsigned backup_retention_days = 0;
unsigned query_port_number = 0;
unsigned long query_address = loopback_address;
unsigned hang_timeout_seconds = default_hang_timeout_seconds;
unsigned stop_timeout_seconds = default_stop_timeout_seconds;
restart_list restart_times = {};
unsigned restart_when_empty_minutes = 0;

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

// Turns the text of the numeric settings into numbers, warning about each
// value that is not one, in the order of the keys.
void read_numbers()
{
    struct number_warning {
        bool read;
        const char* warning;
    } const checks[] = {
        {read_uptime_seconds(settings[min_uptime], uptime_seconds),
         "  WARNING: min_uptime is not a number of seconds; using 10."},
        {read_retention_days(settings[logfile_backups_days], backup_retention_days),
         "  WARNING: logfile_backups_days is not a number of days; keeping every backup."},
        {read_query_port(settings[query_port], query_port_number),
         "  WARNING: query_port is not a port number; hang detection is off."},
        {read_ipv4_address(settings[query_host], query_address),
         "  WARNING: query_host is not an IPv4 address; using 127.0.0.1."},
        {read_hang_timeout(settings[hang_timeout], hang_timeout_seconds),
         "  WARNING: hang_timeout is not a number of seconds; using 60."},
        {read_stop_timeout(settings[stop_timeout], stop_timeout_seconds),
         "  WARNING: stop_timeout is not a number of seconds; using 10."},
        {read_restart_times(settings[restart_at], restart_times),
         "  WARNING: restart_at is not a list of times like 05:30; no scheduled restarts."},
        {read_restart_when_empty(settings[restart_when_empty], restart_when_empty_minutes),
         "  WARNING: restart_when_empty is not a number of minutes; scheduled restarts do not "
         "wait."},
    };
    for (const number_warning& check : checks) {
        if (!check.read) {
            log_line(colour_yellow, check.warning);
        }
    }
    if (!is_status_file_name(settings[status_file])) {
        log_line(colour_yellow, "  WARNING: status_file is not a file name; no status file.");
        settings[status_file][0] = '\0';
    }
    // A wait for the players needs their count, which only the answers to
    // the watchdog's queries carry.
    if (restart_when_empty_minutes != 0 && query_port_number == 0) {
        log_line(colour_yellow, "  WARNING: restart_when_empty needs query_port; scheduled "
                                "restarts do not wait for players.");
        restart_when_empty_minutes = 0;
    }
}

// Reads `text` as decimal digits from `least` to `most` into `number`;
// false, and `fallback`, for anything else.
bool read_bounded(const char* text, unsigned least, unsigned most, unsigned fallback,
                  unsigned& number)
{
    unsigned value = 0;
    if (!read_digits(text, most, value) || value < least || value > most) {
        number = fallback;
        return false;
    }
    number = value;
    return true;
}

// Reads exactly two decimal digits at `at` into a number up to `most`.
bool read_two_digits(const char*& at, unsigned most, unsigned& value)
{
    if (at[0] < '0' || at[0] > '9' || at[1] < '0' || at[1] > '9') {
        return false;
    }
    value = static_cast<unsigned>(at[0] - '0') * 10 + static_cast<unsigned>(at[1] - '0');
    at += 2;
    return value <= most;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// Reads one time "HH:MM" or "HH:MM:SS" from `at` up to a comma or the end,
// with blanks around it, into entry `index` of `list`.
bool read_restart_time(const char*& at, restart_list& list, unsigned index)
{
    while (is_blank(*at)) {
        ++at;
    }
    const char* start = at;
    unsigned hours = 0;
    unsigned minutes = 0;
    unsigned seconds = 0;
    if (!read_two_digits(at, 23, hours) || *at++ != ':' || !read_two_digits(at, 59, minutes)) {
        return false;
    }
    if (*at == ':' && (++at, !read_two_digits(at, 59, seconds))) {
        return false;
    }
    const std::size_t length = static_cast<std::size_t>(at - start);
    while (is_blank(*at)) {
        ++at;
    }
    if (*at != ',' && *at != '\0') {
        return false;
    }
    list.seconds[index] = hours * 3600 + minutes * 60 + seconds;
    for (std::size_t i = 0; i < length; ++i) {
        list.written[index][i] = start[i];
    }
    list.written[index][length] = '\0';
    return true;
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

bool read_query_port(const char* text, unsigned& port)
{
    if (text[0] == '\0') {
        port = 0;
        return true;
    }
    return read_bounded(text, 0, 65535, 0, port);
}

bool read_ipv4_address(const char* text, unsigned long& address)
{
    unsigned long value = 0;
    const char* at = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *at++ != '.') {
            address = loopback_address;
            return false;
        }
        unsigned number = 0;
        int digits = 0;
        for (; *at >= '0' && *at <= '9' && digits < 4; ++at, ++digits) {
            number = number * 10 + static_cast<unsigned>(*at - '0');
        }
        if (digits == 0 || digits > 3 || number > 255) {
            address = loopback_address;
            return false;
        }
        value = value << 8 | number;
    }
    if (*at != '\0') {
        address = loopback_address;
        return false;
    }
    address = value;
    return true;
}

bool read_hang_timeout(const char* text, unsigned& seconds)
{
    return read_bounded(text, 1, longest_hang_timeout_seconds, default_hang_timeout_seconds,
                        seconds);
}

bool read_stop_timeout(const char* text, unsigned& seconds)
{
    return read_bounded(text, 0, longest_stop_timeout_seconds, default_stop_timeout_seconds,
                        seconds);
}

bool read_restart_times(const char* text, restart_list& list)
{
    list.count = 0;
    const char* at = text;
    while (is_blank(*at)) {
        ++at;
    }
    if (*at == '\0') {
        return true;
    }
    for (;;) {
        if (list.count == restart_time_capacity || !read_restart_time(at, list, list.count)) {
            list.count = 0;
            return false;
        }
        ++list.count;
        if (*at == '\0') {
            return true;
        }
        ++at; // the comma
    }
}

bool read_restart_when_empty(const char* text, unsigned& minutes)
{
    return read_bounded(text, 0, longest_restart_when_empty_minutes, 0, minutes);
}

bool is_status_file_name(const char* text)
{
    const char* last_part = text;
    for (const char* at = text; *at != '\0'; ++at) {
        if (static_cast<unsigned char>(*at) < 0x20 || *at == 0x7F) {
            return false;
        }
        if (*at == '/' || *at == '\\') {
            last_part = at + 1;
        }
    }
    if (text[0] == '\0') {
        return true;
    }
    return last_part[0] != '\0' && std::strcmp(last_part, ".") != 0 &&
           std::strcmp(last_part, "..") != 0;
}

// A status file named by the service manager (MOLV_STATUS_FILE, as the
// systemd template unit sets it from the instance's name), where molv.ini
// names none; it is checked as the setting is.
static void take_status_file_from_environment()
{
    const char* named = std::getenv("MOLV_STATUS_FILE");
    if (settings[status_file][0] != '\0' || named == nullptr || named[0] == '\0') {
        return;
    }
    if (std::strlen(named) >= setting_capacity || !is_status_file_name(named)) {
        log_line(colour_yellow, "  WARNING: MOLV_STATUS_FILE is not a file name; no status file.");
        return;
    }
    copy_text(settings[status_file], setting_capacity, named);
}

void load_settings()
{
    load_settings_file();
    take_status_file_from_environment();
}

void load_settings_file()
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
