#include "config/feature_lines.h"

#include <cstddef>
#include <cstdio>

#include "config/settings.h"
#include "console/log_line.h"
#include "platform/platform.h"
#include "text/text.h"

namespace {

// Room for the longest line: 24 scheduled times, or a name of 254
// characters, with their words.
constexpr std::size_t feature_line_capacity = 320;

// Writes the line of one feature to `line` and returns true when the
// feature is on; returns false when it is off.
using feature_description = bool (*)(char* line, std::size_t capacity);

// "1 second", "60 seconds": the unit after a count, as the other messages
// write it.
const char* unit(unsigned count, const char* one, const char* more)
{
    return count == 1 ? one : more;
}

bool describe_hang_detection(char* line, std::size_t capacity)
{
    if (query_port_number == 0) {
        return false;
    }
    std::snprintf(line, capacity,
                  "  > Hang detection: query port %u on %lu.%lu.%lu.%lu, after %u %s of silence.",
                  query_port_number, (query_address >> 24) & 0xFFUL,
                  (query_address >> 16) & 0xFFUL, (query_address >> 8) & 0xFFUL,
                  query_address & 0xFFUL, hang_timeout_seconds,
                  unit(hang_timeout_seconds, "second", "seconds"));
    return true;
}

bool describe_scheduled_restarts(char* line, std::size_t capacity)
{
    if (restart_times.count == 0) {
        return false;
    }
    copy_text(line, capacity, "  > Scheduled restarts: ");
    for (unsigned i = 0; i < restart_times.count; ++i) {
        append_text(line, capacity, i == 0 ? "" : ", ");
        append_text(line, capacity, restart_times.written[i]);
    }
    append_text(line, capacity, ".");
    return true;
}

bool describe_event_program(char* line, std::size_t capacity)
{
    if (settings[on_event][0] == '\0') {
        return false;
    }
    copy_text(line, capacity, "  > Event program: ");
    append_text(line, capacity, settings[on_event]);
    return true;
}

// Backups are removed only while they are made at all.
bool describe_backup_retention(char* line, std::size_t capacity)
{
    if (backup_retention_days == 0 || settings[logfile_backups][0] != '1') {
        return false;
    }
    std::snprintf(line, capacity, "  > Old backups removed after %u %s.", backup_retention_days,
                  unit(backup_retention_days, "day", "days"));
    return true;
}

bool describe_status_file(char* line, std::size_t capacity)
{
    if (settings[status_file][0] == '\0') {
        return false;
    }
    copy_text(line, capacity, "  > Status file: ");
    append_text(line, capacity, settings[status_file]);
    return true;
}

// The features in the order in which their lines are shown.
const feature_description feature_descriptions[] = {
    describe_hang_detection,
    describe_scheduled_restarts,
    describe_event_program,
    describe_backup_retention,
    describe_status_file,
};

} // namespace

void report_features()
{
    char line[feature_line_capacity];
    for (feature_description describe : feature_descriptions) {
        if (describe(line, sizeof line)) {
            log_line(colour_white, line);
        }
    }
    // The events are still tried: the program may be put in place later.
    if (settings[on_event][0] != '\0' && !platform_event_program_found(settings[on_event])) {
        log_warning("  WARNING: The on_event program was not found: ", settings[on_event]);
    }
}
