// The launch mode, the settings summary and the server command line.
#pragma once

#include <cstddef>

#include "config/settings.h"

enum class launch_mode { mtl, standard, custom };

// The server command line holds at most 255 characters.
constexpr std::size_t command_line_capacity = 256;

// The command line composed at start-up and used by every launch.
extern char command_line[command_line_capacity];

// The mode chosen by the first character of `game_mtl`.
launch_mode choose_launch_mode(const char* game_mtl);

// One line of the summary: the label, then the value (empty for the bMTL
// lines, whose label is the whole line).
struct summary_line {
    const char* label;
    const char* value;
};

constexpr std::size_t summary_capacity = 7;

// Fills `lines` with the summary of `mode`; returns the number of lines.
std::size_t summary_lines(const setting_value* values, launch_mode mode,
                          summary_line* lines);

// Composes the mode's command line into `destination`. Returns false, leaving
// a truncated text, when the whole line does not fit.
bool compose_command_line(const setting_value* values, launch_mode mode, char* destination,
                          std::size_t capacity);

// Reports the settings, chooses the mode and composes `command_line`. Returns
// false when the command line is longer than 255 characters.
bool build_launch_profile();
