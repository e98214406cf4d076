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

} // namespace

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

void log_line(console_colour colour, const char* message)
{
    char stamp[48];
    format_stamp(local_time_now(), stamp, sizeof stamp);
    platform_set_colour(console_handle, colour);
    std::fputs(stamp, stdout);
    std::fputc(' ', stdout);
    std::fputs(message, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    platform_set_colour(console_handle, colour_white);
    forget_output_error();
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
