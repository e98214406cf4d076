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
    if (std::strpbrk(record.identity, "\r\n") != nullptr ||
        std::strpbrk(record.log, "\r\n") != nullptr ||
        std::strpbrk(record.backup, "\r\n") != nullptr) {
        return false;
    }
    int written = 0;
    if (record.server != 0) {
        const bool log = record.log[0] != '\0';
        written = std::snprintf(destination, capacity,
                                "molv %lu\nserver %lu %s\n%s%s%s%s%s%s%send\n", record.molv,
                                record.server, record.identity, log ? "log " : "", record.log,
                                log ? "\n" : "", record.answered ? "answered\n" : "",
                                record.backup[0] != '\0' ? "backup " : "", record.backup,
                                record.backup[0] != '\0' ? "\n" : "");
    } else {
        written = std::snprintf(destination, capacity, "molv %lu\nend\n", record.molv);
    }
    if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
        destination[0] = '\0';
        return false;
    }
    return true;
}

namespace {

// Copies the rest of the line from `at` to `line_end` into `destination`;
// false when it is empty or does not fit.
bool take_rest(const char* at, const char* line_end, char* destination, std::size_t capacity)
{
    const std::size_t length = static_cast<std::size_t>(line_end - at);
    if (length == 0 || length >= capacity) {
        return false;
    }
    std::memcpy(destination, at, length);
    destination[length] = '\0';
    return true;
}

// Reads the server line's "<id> <identity>" into `record`.
bool read_server_line(const char* at, const char* line_end, lock_record& record)
{
    unsigned long server = 0;
    if (!read_number(at, line_end, server) || at == line_end || *at != ' ' ||
        !take_rest(at + 1, line_end, record.identity, sizeof record.identity)) {
        return false;
    }
    record.server = server;
    return true;
}

} // namespace

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
    // The server and what follows it count only from a record that ends in
    // "end": one cut short by a MOLV that ended while writing names none.
    lock_record found = {};
    bool server_read = false;
    for (at = first_end + 1;;) {
        const char* next = line_end(at, end);
        if (next == nullptr) {
            return true;
        }
        if (next - at == 3 && starts_with(at, next, "end")) {
            break;
        }
        if (!server_read) {
            if (!starts_with(at, next, "server ") || !read_server_line(at + 7, next, found)) {
                return true;
            }
            server_read = true;
        } else if (starts_with(at, next, "log ")) {
            if (!take_rest(at + 4, next, found.log, sizeof found.log)) {
                return true;
            }
        } else if (next - at == 8 && starts_with(at, next, "answered")) {
            found.answered = true;
        } else if (!starts_with(at, next, "backup ") ||
                   !take_rest(at + 7, next, found.backup, sizeof found.backup)) {
            return true;
        }
        at = next + 1;
    }
    if (server_read) {
        found.molv = record.molv;
        record = found;
    }
    return true;
}
