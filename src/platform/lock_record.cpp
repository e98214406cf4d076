#include "platform/lock_record.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Reads a decimal number of at most `digits` digits at `at`, up to `end`,
// no larger than `largest`; false when there is none, it is 0 or too large.
bool read_number(const char*& at, const char* end, unsigned long long& value,
                 unsigned long long largest, int digits)
{
    unsigned long long number = 0;
    const char* start = at;
    while (at < end && *at >= '0' && *at <= '9' && at - start < digits) {
        number = number * 10 + static_cast<unsigned>(*at - '0');
        ++at;
    }
    if (at == start || number == 0 || number > largest) {
        return false;
    }
    value = number;
    return true;
}

bool read_id(const char*& at, const char* end, unsigned long& value)
{
    unsigned long long number = 0;
    if (!read_number(at, end, number, 4294967295ULL, 10)) {
        return false;
    }
    value = static_cast<unsigned long>(number);
    return true;
}

// A time or a count alone on the rest of its line.
bool read_whole_number(const char* at, const char* line_end, long long& value)
{
    unsigned long long number = 0;
    if (!read_number(at, line_end, number, 9000000000000000000ULL, 19) || at != line_end) {
        return false;
    }
    value = static_cast<long long>(number);
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

// Appends a formatted line to the `used` bytes of `destination`; false once
// anything did not fit.
bool add(char* destination, std::size_t capacity, std::size_t& used, const char* format, ...)
{
    if (used >= capacity) {
        return false;
    }
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(destination + used, capacity - used, format, arguments);
    va_end(arguments);
    if (written < 0 || static_cast<std::size_t>(written) >= capacity - used) {
        return false;
    }
    used += static_cast<std::size_t>(written);
    return true;
}

bool holds_line_end(const char* text)
{
    return std::strpbrk(text, "\r\n") != nullptr;
}

} // namespace

bool same_facts(const run_facts& one, const run_facts& other)
{
    return one.launches == other.launches && one.server_since == other.server_since &&
           std::strcmp(one.last_end, other.last_end) == 0 &&
           one.last_end_at == other.last_end_at && one.next_start == other.next_start &&
           one.next_restart == other.next_restart && one.players_known == other.players_known &&
           one.players == other.players && one.max_players == other.max_players &&
           std::strcmp(one.map, other.map) == 0;
}

lock_record record_of_new_molv(const lock_record& found, unsigned long molv,
                               const char* identity, long long since)
{
    lock_record own = found;
    own.molv = molv;
    std::snprintf(own.molv_identity, sizeof own.molv_identity, "%s", identity);
    own.molv_since = since;
    own.facts = run_facts{};
    return own;
}

bool compose_lock_record(const lock_record& record, char* destination, std::size_t capacity)
{
    if (capacity == 0) {
        return false;
    }
    destination[0] = '\0';
    const run_facts& facts = record.facts;
    if (holds_line_end(record.identity) || holds_line_end(record.log) ||
        holds_line_end(record.backup) || holds_line_end(record.molv_identity) ||
        std::strpbrk(facts.last_end, " \r\n") != nullptr || holds_line_end(facts.map)) {
        return false;
    }
    std::size_t used = 0;
    bool fits = add(destination, capacity, used, "molv %lu\n", record.molv);
    if (record.molv_since > 0 && record.molv_identity[0] != '\0') {
        fits = fits && add(destination, capacity, used, "since %lld %s\n", record.molv_since,
                           record.molv_identity);
    }
    if (record.server != 0) {
        fits = fits && add(destination, capacity, used, "server %lu %s\n", record.server,
                           record.identity);
        if (record.log[0] != '\0') {
            fits = fits && add(destination, capacity, used, "log %s\n", record.log);
        }
        if (record.answered) {
            fits = fits && add(destination, capacity, used, "answered\n");
        }
        if (record.backup[0] != '\0') {
            fits = fits && add(destination, capacity, used, "backup %s\n", record.backup);
        }
    }
    if (facts.launches > 0) {
        fits = fits && add(destination, capacity, used, "launches %llu\n", facts.launches);
    }
    if (facts.server_since > 0) {
        fits = fits && add(destination, capacity, used, "running %lld\n", facts.server_since);
    }
    if (facts.last_end[0] != '\0' && facts.last_end_at > 0) {
        fits = fits && add(destination, capacity, used, "ended %s %lld\n", facts.last_end,
                           facts.last_end_at);
    }
    if (facts.next_start > 0) {
        fits = fits && add(destination, capacity, used, "next_start %lld\n", facts.next_start);
    }
    if (facts.next_restart > 0) {
        fits = fits && add(destination, capacity, used, "next_restart %lld\n", facts.next_restart);
    }
    if (facts.players_known) {
        fits = fits && add(destination, capacity, used, "players %u %u%s%s\n", facts.players,
                           facts.max_players, facts.map[0] != '\0' ? " " : "", facts.map);
    }
    fits = fits && add(destination, capacity, used, "end\n");
    if (!fits) {
        destination[0] = '\0';
    }
    return fits;
}

namespace {

// Copies the rest of the line from `at` to `line_end` into `destination`;
// false when it is empty, does not fit or holds a NUL byte, which no
// record written whole does.
bool take_rest(const char* at, const char* line_end, char* destination, std::size_t capacity)
{
    const std::size_t length = static_cast<std::size_t>(line_end - at);
    if (length == 0 || length >= capacity || std::memchr(at, '\0', length) != nullptr) {
        return false;
    }
    std::memcpy(destination, at, length);
    destination[length] = '\0';
    return true;
}

// Reads "<number> <rest>" of a line into `number` and `rest`.
bool read_number_and_rest(const char* at, const char* line_end, long long& number, char* rest,
                          std::size_t capacity)
{
    const char* blank = static_cast<const char*>(
        std::memchr(at, ' ', static_cast<std::size_t>(line_end - at)));
    return blank != nullptr && read_whole_number(at, blank, number) &&
           take_rest(blank + 1, line_end, rest, capacity);
}

// Reads a count that may be 0, of at most 9 digits, up to a blank or the
// line's end.
bool read_count(const char*& at, const char* line_end, unsigned& count)
{
    const char* start = at;
    unsigned value = 0;
    while (at < line_end && *at >= '0' && *at <= '9' && at - start < 9) {
        value = value * 10 + static_cast<unsigned>(*at - '0');
        ++at;
    }
    count = value;
    return at != start && (at == line_end || *at == ' ');
}

// Reads "<players> <max>[ <map>]".
bool read_players_line(const char* at, const char* line_end, run_facts& facts)
{
    if (!read_count(at, line_end, facts.players) || at == line_end ||
        !read_count(++at, line_end, facts.max_players)) {
        return false;
    }
    facts.players_known = true;
    return at == line_end || take_rest(at + 1, line_end, facts.map, sizeof facts.map);
}

// Reads the server line's "<id> <identity>" into `record`.
bool read_server_line(const char* at, const char* line_end, lock_record& record)
{
    unsigned long server = 0;
    if (!read_id(at, line_end, server) || at == line_end || *at != ' ' ||
        !take_rest(at + 1, line_end, record.identity, sizeof record.identity)) {
        return false;
    }
    record.server = server;
    return true;
}

// Reads the line from `at` to `next` into `found`; false for a line that is
// not known or not well formed.
bool read_line(const char* at, const char* next, lock_record& found)
{
    const bool server_read = found.server != 0;
    run_facts& facts = found.facts;
    long long count = 0;
    if (starts_with(at, next, "server ")) {
        return !server_read && read_server_line(at + 7, next, found);
    }
    if (starts_with(at, next, "log ")) {
        return server_read && take_rest(at + 4, next, found.log, sizeof found.log);
    }
    if (next - at == 8 && starts_with(at, next, "answered")) {
        found.answered = true;
        return server_read;
    }
    if (starts_with(at, next, "backup ")) {
        return server_read && take_rest(at + 7, next, found.backup, sizeof found.backup);
    }
    if (starts_with(at, next, "since ")) {
        return read_number_and_rest(at + 6, next, found.molv_since, found.molv_identity,
                                    sizeof found.molv_identity);
    }
    if (starts_with(at, next, "launches ")) {
        const bool read = read_whole_number(at + 9, next, count);
        facts.launches = static_cast<unsigned long long>(count);
        return read;
    }
    if (starts_with(at, next, "running ")) {
        return read_whole_number(at + 8, next, facts.server_since);
    }
    if (starts_with(at, next, "ended ")) {
        const char* blank = static_cast<const char*>(
            std::memchr(at + 6, ' ', static_cast<std::size_t>(next - at - 6)));
        return blank != nullptr &&
               take_rest(at + 6, blank, facts.last_end, sizeof facts.last_end) &&
               read_whole_number(blank + 1, next, facts.last_end_at);
    }
    if (starts_with(at, next, "next_start ")) {
        return read_whole_number(at + 11, next, facts.next_start);
    }
    if (starts_with(at, next, "next_restart ")) {
        return read_whole_number(at + 13, next, facts.next_restart);
    }
    if (starts_with(at, next, "players ")) {
        return read_players_line(at + 8, next, facts);
    }
    return false;
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
    if (!read_id(at, first_end, record.molv) || at != first_end) {
        record.molv = 0;
        return false;
    }
    // The rest counts only from a record that ends in "end": one cut short
    // by a MOLV that ended while writing tells nothing more.
    lock_record found = {};
    for (at = first_end + 1;;) {
        const char* next = line_end(at, end);
        if (next == nullptr) {
            return true;
        }
        if (next - at == 3 && starts_with(at, next, "end")) {
            break;
        }
        if (!read_line(at, next, found)) {
            return true;
        }
        at = next + 1;
    }
    found.molv = record.molv;
    record = found;
    return true;
}
