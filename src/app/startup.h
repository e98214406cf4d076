// The start-up sequence: console, banner, settings, command line, the
// executable check, and then the supervision cycle.
#pragma once

#include <cstddef>

constexpr std::size_t banner_line_count = 16;

// The banner, sixteen lines of 37 characters each.
extern const char* const banner_lines[banner_line_count];

// Runs the whole life of the program; returns the exit status: 0 when a
// stop was asked for, 5 when the server cannot be started at all, 6 when
// another MOLV runs in the folder.
int run_startup();
