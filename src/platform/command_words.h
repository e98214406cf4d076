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
