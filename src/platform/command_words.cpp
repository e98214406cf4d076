#include "platform/command_words.h"

#include <cstring>

bool split_command_line(const char* exename, const char* command_line, command_words& out)
{
    out.count = 0;
    std::size_t name_length = std::strlen(exename);
    std::size_t line_length = std::strlen(command_line);
    if (std::strncmp(command_line, exename, name_length) != 0 ||
        line_length + 2 > sizeof out.storage) {
        return false;
    }
    // The storage holds the name, its terminator, and then the rest of the
    // line, whose blanks become terminators.
    std::memcpy(out.storage, exename, name_length);
    out.storage[name_length] = '\0';
    out.words[out.count++] = out.storage;

    char* rest = out.storage + name_length + 1;
    std::memcpy(rest, command_line + name_length, line_length - name_length + 1);
    bool in_word = false;
    for (char* at = rest; *at != '\0'; ++at) {
        if (*at == ' ' || *at == '\t') {
            *at = '\0';
            in_word = false;
        } else if (!in_word) {
            if (out.count + 1 >= command_words_capacity) {
                return false;
            }
            out.words[out.count++] = at;
            in_word = true;
        }
    }
    out.words[out.count] = nullptr;
    return true;
}
