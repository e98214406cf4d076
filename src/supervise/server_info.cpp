#include "supervise/server_info.h"

#include <cstring>

namespace {

// One field of the answer: `length` bytes at `at`.
struct piece {
    const char* at;
    std::size_t length;
};

bool is(const piece& field, const char* text)
{
    const std::size_t length = std::strlen(text);
    return field.length == length && std::memcmp(field.at, text, length) == 0;
}

// Decimal digits, at least one and nothing else, up to longest_player_count.
bool read_count(const piece& field, unsigned& count)
{
    if (field.length == 0 || field.length > 5) {
        return false;
    }
    unsigned value = 0;
    for (std::size_t i = 0; i < field.length; ++i) {
        const char digit = field.at[i];
        if (digit < '0' || digit > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(digit - '0');
    }
    if (value > longest_player_count) {
        return false;
    }
    count = value;
    return true;
}

void take_text(const piece& field, char (&destination)[server_info_text_capacity])
{
    const std::size_t length =
        field.length < server_info_text_capacity - 1 ? field.length : server_info_text_capacity - 1;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(field.at[i]);
        destination[i] = byte < 0x20 || byte == 0x7F ? '?' : static_cast<char>(byte);
    }
    destination[length] = '\0';
}

// The next field from `at` up to the next backslash or `end`.
piece next_field(const char*& at, const char* end)
{
    const char* start = at;
    while (at != end && *at != '\\') {
        ++at;
    }
    const piece field = {start, static_cast<std::size_t>(at - start)};
    if (at != end) {
        ++at;
    }
    return field;
}

} // namespace

server_info read_server_info(const char* answer, std::size_t length)
{
    server_info info = {};
    if (answer == nullptr || length == 0) {
        return info;
    }
    const char* at = answer;
    const char* const end = answer + length;
    // The answer begins with a backslash; one that does not is read from
    // its first key all the same.
    if (*at == '\\') {
        ++at;
    }
    bool map_seen = false;
    bool hostname_seen = false;
    bool players_seen = false;
    bool max_players_seen = false;
    while (at != end) {
        const piece key = next_field(at, end);
        const piece value = next_field(at, end);
        if (is(key, "numplayers") && !players_seen) {
            players_seen = true;
            info.players_known = read_count(value, info.players);
        } else if (is(key, "maxplayers") && !max_players_seen) {
            max_players_seen = true;
            info.max_players_known = read_count(value, info.max_players);
        } else if (is(key, "mapname") && !map_seen) {
            map_seen = true;
            take_text(value, info.map);
        } else if (is(key, "hostname") && !hostname_seen) {
            hostname_seen = true;
            take_text(value, info.hostname);
        }
    }
    return info;
}
