#include "supervise/backup.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "console/log_line.h"
#include "text/text.h"
#include "platform/platform.h"
#include "supervise/status.h"

void backup_name(const std::tm& time, unsigned suffix, char* destination, std::size_t capacity)
{
    char hour[12];
    char minute[12];
    char second[12];
    two_digit(time.tm_hour, hour, sizeof hour);
    two_digit(time.tm_min, minute, sizeof minute);
    two_digit(time.tm_sec, second, sizeof second);
    char date[48];
    std::snprintf(date, sizeof date, "%i.%i.%i__", time.tm_mday, time.tm_mon + 1,
                  time.tm_year + 1900);
    char tail[16] = "";
    if (suffix > 1) {
        std::snprintf(tail, sizeof tail, "-%u", suffix);
    }
    const char* const pieces[] = {date, hour, "_", minute, "_", second, tail, ".log"};
    copy_text(destination, capacity, "");
    for (const char* piece : pieces) {
        append_text(destination, capacity, piece);
    }
}

unsigned first_backup_suffix(const char* name, const char* previous_name,
                             unsigned previous_suffix)
{
    if (previous_suffix == 0 || std::strcmp(name, previous_name) != 0) {
        return 1;
    }
    return previous_suffix + 1;
}

namespace {

// The previous backup's name without suffix, and the suffix it took.
char previous_name[backup_name_capacity] = "";
unsigned previous_suffix = 0;

} // namespace

static_assert(backup_name_capacity <= record_backup_capacity,
              "every backup name fits in the lock file's record");

bool backup_log(char* failure, std::size_t failure_capacity)
{
    return backup_log_as_of(local_time_now(), failure, failure_capacity);
}

bool backup_log_as_of(const std::tm& now, char* failure, std::size_t failure_capacity)
{
    // What an ended MOLV left under working names goes first, which also
    // gives its space back to this copy.
    platform_remove_stale_copies();

    char plain_name[backup_name_capacity];
    backup_name(now, 1, plain_name, sizeof plain_name);

    char name[backup_name_capacity];
    char reason[256] = "";
    unsigned suffix = first_backup_suffix(plain_name, previous_name, previous_suffix);
    copy_result result;
    for (;; ++suffix) {
        backup_name(now, suffix, name, sizeof name);
        platform_record_backup(name);
        result = platform_copy_new(settings[logfile], name, reason, sizeof reason);
        if (result != copy_result::exists) {
            break;
        }
    }
    if (result == copy_result::copied) {
        copy_text(previous_name, sizeof previous_name, plain_name);
        previous_suffix = suffix;
    }

    if (result == copy_result::copied) {
        status_log_backed_up();
        log_line(colour_white, "  > Backing up the log...");
    } else if (result == copy_result::source_missing) {
        log_line(colour_yellow, "  WARNING: Logfile not found.");
    } else {
        status_log_backup_failed();
        log_warning("  WARNING: Log backup failed: ", reason);
        copy_text(failure, failure_capacity, reason);
        return false;
    }
    return true;
}

namespace {

// Reads `least` to `most` decimal digits at `at` into `value`, without a
// leading zero when `no_leading_zero`, and moves `at` past them; fails on
// more digits than `most`.
bool read_number(const char*& at, int least, int most, bool no_leading_zero,
                 unsigned long long& value)
{
    const char* start = at;
    value = 0;
    while (*at >= '0' && *at <= '9' && at - start < most) {
        value = value * 10 + static_cast<unsigned>(*at - '0');
        ++at;
    }
    const bool leading_zero = no_leading_zero && at - start > 0 && *start == '0';
    return at - start >= least && !(*at >= '0' && *at <= '9') && !leading_zero;
}

bool read_literal(const char*& at, const char* literal)
{
    const std::size_t length = std::strlen(literal);
    if (std::strncmp(at, literal, length) != 0) {
        return false;
    }
    at += length;
    return true;
}

} // namespace

bool is_backup_name(const char* name)
{
    const char* at = name;
    unsigned long long day = 0;
    unsigned long long month = 0;
    unsigned long long year = 0;
    unsigned long long hour = 0;
    unsigned long long minute = 0;
    unsigned long long second = 0;
    bool form = read_number(at, 1, 2, true, day) && read_literal(at, ".") &&
                read_number(at, 1, 2, true, month) && read_literal(at, ".") &&
                read_number(at, 4, 4, true, year) && read_literal(at, "__") &&
                read_number(at, 2, 2, false, hour) && read_literal(at, "_") &&
                read_number(at, 2, 2, false, minute) && read_literal(at, "_") &&
                read_number(at, 2, 2, false, second);
    if (form && *at == '-') {
        ++at;
        unsigned long long suffix = 0;
        form = read_number(at, 1, 10, true, suffix) && suffix >= 2 && suffix <= 4294967295ULL;
    }
    return form && std::strcmp(at, ".log") == 0 && day >= 1 && day <= 31 && month >= 1 &&
           month <= 12 && hour <= 23 && minute <= 59 && second <= 60;
}
