// Console operations on a terminal: the title and colours as escape
// sequences, written only when standard output is a terminal, so that
// redirected output stays plain text.
#include <cstdio>
#include <unistd.h>

#include "platform/platform.h"

namespace {

int standard_output = STDOUT_FILENO;

bool output_is_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

const char* colour_sequence(unsigned short colour)
{
    switch (colour) {
    case 10:
        return "\x1b[92m";
    case 11:
        return "\x1b[96m";
    case 12:
        return "\x1b[91m";
    case 14:
        return "\x1b[93m";
    default:
        // The resting colour is the terminal's own default, so the terminal
        // is never left coloured.
        return "\x1b[0m";
    }
}

} // namespace

void platform_set_title(const char* title)
{
    if (output_is_terminal()) {
        std::fprintf(stdout, "\x1b]0;%s\x07", title);
        std::fflush(stdout);
    }
}

platform_console platform_console_output()
{
    return output_is_terminal() ? &standard_output : nullptr;
}

void platform_set_colour(platform_console console, unsigned short colour)
{
    if (console != nullptr) {
        std::fputs(colour_sequence(colour), stdout);
        // A colour goes out with the line it paints; the reset at once, so
        // that a supervisor stopped between lines leaves the terminal plain.
        if (colour == 15) {
            std::fflush(stdout);
        }
    }
}

// A terminal's selection never blocks the program that writes to it.
void platform_prepare_console() {}
