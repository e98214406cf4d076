#include "platform/working_name.h"

#include <cstdio>
#include <cstring>

namespace {

const char prefix[] = ".molv-backup-";
const char suffix[] = ".tmp";
constexpr unsigned long long largest = 4294967295ULL;

// Reads a number without leading zeros, from 1 to `largest`, at `text`;
// returns the first character after it, or nullptr.
const char* read_number(const char* text, unsigned long& value)
{
    if (*text < '1' || *text > '9') {
        return nullptr;
    }
    unsigned long long number = 0;
    while (*text >= '0' && *text <= '9') {
        number = number * 10 + static_cast<unsigned long long>(*text - '0');
        if (number > largest) {
            return nullptr;
        }
        ++text;
    }
    value = static_cast<unsigned long>(number);
    return text;
}

} // namespace

bool working_name(unsigned long long process, unsigned long long serial, char* destination,
                  std::size_t capacity)
{
    if (capacity == 0) {
        return false;
    }
    destination[0] = '\0';
    if (process == 0 || serial == 0 || process > largest || serial > largest) {
        return false;
    }
    int length = std::snprintf(destination, capacity, "%s%llu-%llu%s", prefix, process, serial,
                               suffix);
    if (length < 0 || static_cast<std::size_t>(length) >= capacity) {
        destination[0] = '\0';
        return false;
    }
    return true;
}

bool parse_working_name(const char* name, unsigned long& process)
{
    const std::size_t prefix_length = sizeof prefix - 1;
    if (std::strncmp(name, prefix, prefix_length) != 0) {
        return false;
    }
    unsigned long found = 0;
    unsigned long serial = 0;
    const char* at = read_number(name + prefix_length, found);
    if (at == nullptr || *at != '-') {
        return false;
    }
    at = read_number(at + 1, serial);
    if (at == nullptr || std::strcmp(at, suffix) != 0) {
        return false;
    }
    process = found;
    return true;
}
