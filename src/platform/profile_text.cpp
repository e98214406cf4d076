#include "platform/profile_text.h"

#include <cstring>

namespace {

// A piece of the text: [begin, end).
struct span {
    const char* begin;
    const char* end;
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\x1a';
}

span trim(span s)
{
    while (s.begin < s.end && is_blank(*s.begin)) {
        ++s.begin;
    }
    while (s.end > s.begin && is_blank(s.end[-1])) {
        --s.end;
    }
    return s;
}

// A NUL byte ends a name or a value.
span cut_at_nul(span s)
{
    const void* nul = std::memchr(s.begin, '\0', static_cast<std::size_t>(s.end - s.begin));
    if (nul != nullptr) {
        s.end = static_cast<const char*>(nul);
    }
    return s;
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(span s, span name)
{
    if (s.end - s.begin != name.end - name.begin) {
        return false;
    }
    for (const char* at = s.begin; at < s.end; ++at, ++name.begin) {
        if (lower(*at) != lower(*name.begin)) {
            return false;
        }
    }
    return true;
}

// A name asked for, as the file's names are compared: without the blanks
// around it.
span asked_name(const char* name)
{
    if (name == nullptr) {
        name = "";
    }
    return trim({name, name + std::strlen(name)});
}

// One pair of matching surrounding quotes is dropped.
span unquote(span s)
{
    if (s.end - s.begin >= 2 && (*s.begin == '"' || *s.begin == '\'') &&
        s.end[-1] == *s.begin) {
        ++s.begin;
        --s.end;
    }
    return s;
}

unsigned long copy_out(span s, char* destination, unsigned long capacity)
{
    if (capacity == 0) {
        return 0;
    }
    std::size_t count = static_cast<std::size_t>(s.end - s.begin);
    if (count > capacity - 1) {
        count = capacity - 1;
    }
    std::memcpy(destination, s.begin, count);
    destination[count] = '\0';
    return static_cast<unsigned long>(count);
}

unsigned long copy_default(const char* default_value, char* destination, unsigned long capacity)
{
    if (default_value == nullptr) {
        default_value = "";
    }
    span s = {default_value, default_value + std::strlen(default_value)};
    // Trailing spaces (not tabs) go, but the first character always stays.
    while (s.end - s.begin > 1 && s.end[-1] == ' ') {
        --s.end;
    }
    return copy_out(unquote(s), destination, capacity);
}

// The next line of the text, without its line end; advances `at`.
span next_line(const char*& at, const char* end)
{
    span line = {at, at};
    while (line.end < end && *line.end != '\r' && *line.end != '\n') {
        ++line.end;
    }
    at = line.end;
    while (at < end && (*at == '\r' || *at == '\n')) {
        ++at;
    }
    return line;
}

// The name of a header line ("[name]..."), or false when it is not one.
bool header_name(span line, span& name)
{
    if (line.begin == line.end || *line.begin != '[') {
        return false;
    }
    const char* close = line.end;
    while (close > line.begin && close[-1] != ']') {
        --close;
    }
    if (close == line.begin) {
        return false;
    }
    name = trim(cut_at_nul({line.begin + 1, close - 1}));
    return true;
}

} // namespace

unsigned long profile_lookup(const char* text, std::size_t length, const char* section,
                             const char* key, const char* default_value, char* destination,
                             unsigned long capacity)
{
    const char* at = text;
    const char* end = text + length;
    if (length >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        at += 3;
    }

    const span wanted_section = asked_name(section);
    const span wanted_key = asked_name(key);
    // Lines before the first header belong to the section without a name.
    bool in_section = wanted_section.begin == wanted_section.end;
    while (at < end) {
        span line = trim(next_line(at, end));
        span name;
        if (header_name(line, name)) {
            if (in_section) {
                break; // only the first matching section is searched
            }
            in_section = same_name(name, wanted_section);
            continue;
        }
        if (!in_section || line.begin == line.end) {
            continue;
        }
        const char* equals = static_cast<const char*>(
            std::memchr(line.begin, '=', static_cast<std::size_t>(line.end - line.begin)));
        span line_key = {line.begin, equals != nullptr ? equals : line.end};
        if (!same_name(trim(cut_at_nul(line_key)), wanted_key)) {
            continue;
        }
        if (equals == nullptr) {
            break; // the first matching key has no value
        }
        span value = cut_at_nul(trim({equals + 1, line.end}));
        return copy_out(unquote(value), destination, capacity);
    }
    return copy_default(default_value, destination, capacity);
}
