#include "platform/lock_record.h"

#include <cstdio>
#include <cstring>


namespace {

// Reads a decimal number of at most 10 digits at `at`, up to `end`; false
// when there is none or it is out of range.
bool read_number(const char*& at, const char* end, unsigned long& value)
{
    unsigned long long number = 0;
    const char* start = at;
    while (at < end && *at >= '0' && *at <= '9' && at - start < 10) {
        number = number * 10 + static_cast<unsigned>(*at - '0');
        ++at;
    }
    if (at == start || number == 0 || number > 4294967295ULL) {
        return false;
    }
    value = static_cast<unsigned long>(number);
    return true;
}

// The end of the line that begins at `at`, or nullptr when it has none.
const char* line_end(const char* at, const char* end)
{
    const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
    return static_cast<const char*>(found);
}

bool starts_with(const char* at, const char* end, const char* word)
{
    const std::size_t length = std::strlen(word);
    return static_cast<std::size_t>(end - at) >= length && std::memcmp(at, word, length) == 0;
}

} // namespace

bool compose_lock_record(const lock_record& record, char* destination, std::size_t capacity)
{
    if (capacity == 0) {
        return false;
    }
    destination[0] = '\0';
    if (std::strchr(record.identity, '\n') != nullptr || std::strchr(record.identity, '\r')) {
        return false;
    }
    int written = 0;
    if (record.server != 0) {
        written = std::snprintf(destination, capacity, "molv %lu\nserver %lu %s\nend\n", record.molv,
                                record.server, record.identity);
    } else {
        written = std::snprintf(destination, capacity, "molv %lu\nend\n", record.molv);
    }
    if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
        destination[0] = '\0';
        return false;
    }
    return true;
}

bool parse_lock_record(const char* text, std::size_t length, lock_record& record)
{
    record = lock_record{};
    const char* at = text;
    const char* end = text + length;
    const char* first_end = line_end(at, end);
    if (first_end == nullptr || !starts_with(at, first_end, "molv ")) {
        return false;
    }
    at += 5;
    if (!read_number(at, first_end, record.molv) || at != first_end) {
        record.molv = 0;
        return false;
    }
    at = first_end + 1;
    const char* second_end = line_end(at, end);
    if (second_end == nullptr || !starts_with(at, second_end, "server ")) {
        return true;
    }
    const char* server_line = at + 7;
    at = second_end + 1;
    const char* third_end = line_end(at, end);
    if (third_end == nullptr || third_end - at != 3 || !starts_with(at, third_end, "end")) {
        return true;
    }
    unsigned long server = 0;
    if (!read_number(server_line, second_end, server) || server_line == second_end ||
        *server_line != ' ') {
        return true;
    }
    ++server_line;
    const std::size_t identity_length = static_cast<std::size_t>(second_end - server_line);
    if (identity_length == 0 || identity_length >= sizeof record.identity) {
        return true;
    }
    std::memcpy(record.identity, server_line, identity_length);
    record.identity[identity_length] = '\0';
    record.server = server;
    return true;
}
