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

namespace {

// Appends `text` in double quotes at `used`, cut to what fits before the
// terminator when `may_cut`; false when it had to be cut but may not be.
bool append_quoted(const char* text, bool may_cut, char* destination, std::size_t capacity,
                   std::size_t& used)
{
    if (used + 3 > capacity) {
        return false;
    }
    // Room for the characters between the quotes, the terminator kept.
    const std::size_t room = capacity - used - 3;
    std::size_t length = std::strlen(text);
    if (length > room && !may_cut) {
        return false;
    }
    std::size_t taken = length < room ? length : room;
    std::size_t backslashes = 0;
    for (;;) {
        backslashes = 0;
        while (backslashes < taken && text[taken - 1 - backslashes] == '\\') {
            ++backslashes;
        }
        if (taken + backslashes <= room) {
            break;
        }
        if (!may_cut) {
            return false;
        }
        --taken;
    }
    destination[used++] = '"';
    for (std::size_t i = 0; i < taken; ++i) {
        destination[used++] = text[i] == '"' ? '\'' : text[i];
    }
    for (std::size_t i = 0; i < backslashes; ++i) {
        destination[used++] = '\\';
    }
    destination[used++] = '"';
    destination[used] = '\0';
    return true;
}

} // namespace

bool compose_event_command_line(const char* program, const char* event, const char* detail,
                                char* destination, std::size_t capacity)
{
    if (capacity == 0) {
        return false;
    }
    destination[0] = '\0';
    std::size_t used = 0;
    const std::size_t event_length = std::strlen(event);
    bool fits = append_quoted(program, false, destination, capacity, used) &&
                used + 1 + event_length + 1 < capacity;
    if (fits) {
        destination[used++] = ' ';
        std::memcpy(destination + used, event, event_length);
        used += event_length;
        destination[used++] = ' ';
        destination[used] = '\0';
        fits = append_quoted(detail, true, destination, capacity, used);
    }
    if (!fits) {
        destination[0] = '\0';
    }
    return fits;
}
