#include "console/log_line.h"

#include <cstdio>

#include "text/text.h"

platform_console console_handle = nullptr;

namespace {

// A line that cannot be written (its reader gone, a full disk) is lost and
// the supervision goes on; the next line is tried afresh, once.
void forget_output_error()
{
    std::clearerr(stdout);
}

// The local day of the line written last, -1 before the first line.
long long last_line_day = -1;

const char* const weekday_names[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};

} // namespace

long long calendar_day(const std::tm& time)
{
    return (time.tm_year + 1900LL) * 400 + time.tm_yday;
}

bool date_line_due(long long previous_day, long long day)
{
    return previous_day >= 0 && day > previous_day;
}

void format_date_line(const std::tm& time, char* out, std::size_t capacity)
{
    char month[12];
    char day[12];
    two_digit(time.tm_mon + 1, month, sizeof month);
    two_digit(time.tm_mday, day, sizeof day);
    const char* weekday =
        time.tm_wday >= 0 && time.tm_wday < 7 ? weekday_names[time.tm_wday] : "?";
    std::snprintf(out, capacity, "  > Date: %04d-%s-%s (%s).", time.tm_year + 1900, month, day,
                  weekday);
}

void two_digit(int value, char* out, std::size_t capacity)
{
    std::snprintf(out, capacity, value > 9 ? "%i" : "0%i", value);
}

void format_stamp(const std::tm& time, char* out, std::size_t capacity)
{
    char hour[12];
    char minute[12];
    char second[12];
    two_digit(time.tm_hour, hour, sizeof hour);
    two_digit(time.tm_min, minute, sizeof minute);
    two_digit(time.tm_sec, second, sizeof second);
    std::snprintf(out, capacity, "[%s:%s:%s]", hour, minute, second);
}

std::tm local_time_now()
{
    // The same precise clock as the alarm: time() may lag it, and a line
    // or backup of a restart at 05:30 would read 05:29:59.
    std::time_t now = static_cast<std::time_t>(platform_epoch_seconds());
    std::tm result{};
    if (const std::tm* local = std::localtime(&now)) {
        result = *local;
    }
    return result;
}

// Writes one stamped line in `colour`.
static void stamped_line(const std::tm& now, console_colour colour, const char* message)
{
    char stamp[48];
    format_stamp(now, stamp, sizeof stamp);
    platform_set_colour(console_handle, colour);
    std::fputs(stamp, stdout);
    std::fputc(' ', stdout);
    std::fputs(message, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    platform_set_colour(console_handle, colour_white);
    forget_output_error();
}

void log_line(console_colour colour, const char* message)
{
    const std::tm now = local_time_now();
    // A transcript of months tells its days apart: the first line of a
    // later day comes after the date. Nothing wakes MOLV for it.
    const long long day = calendar_day(now);
    if (date_line_due(last_line_day, day)) {
        char date[64];
        format_date_line(now, date, sizeof date);
        stamped_line(now, colour_white, date);
    }
    last_line_day = day;
    stamped_line(now, colour, message);
}

void log_warning(const char* message, const char* reason)
{
    char line[400];
    copy_text(line, sizeof line, message);
    append_text(line, sizeof line, reason);
    log_line(colour_yellow, line);
}

void plain_line(const char* text)
{
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    forget_output_error();
}
