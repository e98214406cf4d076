// The argument list of the server on systems that start programs from a
// list of words rather than from one command line.
#pragma once

#include <cstddef>

// At most this many words fit, the program name and a terminating null
// pointer included; a 255-character line has no more than 129 words.
constexpr std::size_t command_words_capacity = 130;

struct command_words {
    char storage[512];
    char* words[command_words_capacity];
    std::size_t count;
};

// Splits `command_line` for the program `exename`, which the line begins
// with: the first word is `exename` as a whole (blanks and all), the rest of
// the line after it is split at blanks. Returns false when the line does not
// begin with `exename` or does not fit.
bool split_command_line(const char* exename, const char* command_line, command_words& out);

// Writes the command line of an event program as Windows programs read it:
// the program and the detail each in double quotes, with any double quote in
// them made a single quote, and the event word between them, each followed
// by a blank. Backslashes before a closing quote are doubled, so that they
// stay backslashes. A detail that does not fit is cut; returns false (and
// leaves an empty text) when the rest does not fit.
bool compose_event_command_line(const char* program, const char* event, const char* detail,
                                char* destination, std::size_t capacity);
