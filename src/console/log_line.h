// Stamped, coloured status lines: the supervisor's only user interface.
#pragma once

#include <cstddef>
#include <ctime>

#include "platform/platform.h"

// A console character attribute (blue 1, green 2, red 4, intensity 8).
using console_colour = unsigned short;

constexpr console_colour colour_green = 10;  // the server is running
constexpr console_colour colour_cyan = 11;   // the banner
constexpr console_colour colour_red = 12;    // the errors at start-up
constexpr console_colour colour_yellow = 14; // warnings
constexpr console_colour colour_white = 15;  // progress; the resting colour

// The console output, kept by the start-up sequence for every colour change.
extern platform_console console_handle;

// The two-digit rule: above 9 the number as it is, otherwise "0" before it.
// `out` needs room for 12 characters.
void two_digit(int value, char* out, std::size_t capacity);

// "[HH:MM:SS]" for the given local time; `out` needs at least 11 characters.
void format_stamp(const std::tm& time, char* out, std::size_t capacity);

// A number for the local day of `time` that grows with every later day.
long long calendar_day(const std::tm& time);

// Whether a line on `day` needs the date line before it, after a line on
// `previous_day` (-1: no line yet): only on a later day.
bool date_line_due(long long previous_day, long long day);

// "  > Date: 2026-12-10 (Thursday)." for the local time `time`; `out` needs
// room for 40 characters.
void format_date_line(const std::tm& time, char* out, std::size_t capacity);

// Writes "[HH:MM:SS] message" in `colour`, then returns to the resting
// colour; before the first line of a later day than the line before, the
// date line in white.
void log_line(console_colour colour, const char* message);

// Writes the warning "[HH:MM:SS] message" followed by the system's
// `reason`, in yellow; a reason too long for the line is cut.
void log_warning(const char* message, const char* reason);

// Writes a line without stamp and without a colour change.
void plain_line(const char* text);

// The local time now.
std::tm local_time_now();
