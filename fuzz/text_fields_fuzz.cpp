// Feeds arbitrary texts and capacities to the bounded text helpers that fill
// every fixed field, and arbitrary local times to the backup name.
//
// Input: a header of 29 bytes (one byte of capacity, a four-byte backup
// suffix, six four-byte time fields; missing bytes count as zero), then two
// texts separated by a NUL byte: the one copied and the one appended.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "text/text.h"
#include "platform/working_name.h"
#include "supervise/backup.h"

namespace {

const unsigned char unwritten = 0xA5;
const std::size_t header_size = 29;

std::uint32_t read_u32(const std::uint8_t* at)
{
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

int small_field(std::uint32_t raw, std::uint32_t range)
{
    return static_cast<int>(raw % range);
}

char* field(std::size_t capacity)
{
    char* destination = static_cast<char*>(std::malloc(capacity > 0 ? capacity : 1));
    if (destination == nullptr) {
        std::abort();
    }
    std::memset(destination, unwritten, capacity > 0 ? capacity : 1);
    return destination;
}

// The field must hold exactly `wanted`, terminated, within `capacity`.
void expect_field(const char* destination, std::size_t capacity, const std::string& wanted)
{
    if (capacity == 0) {
        if (static_cast<unsigned char>(destination[0]) != unwritten) {
            std::abort();
        }
        return;
    }
    const void* terminator = std::memchr(destination, '\0', capacity);
    if (terminator == nullptr ||
        static_cast<std::size_t>(static_cast<const char*>(terminator) - destination) !=
            wanted.size() ||
        wanted.compare(0, wanted.size(), destination, wanted.size()) != 0) {
        std::abort();
    }
}

void check_copy_and_append(std::size_t capacity, const std::string& first,
                           const std::string& second)
{
    char* destination = field(capacity);
    std::size_t room = capacity > 0 ? capacity - 1 : 0;

    bool copied = copy_text(destination, capacity, first.c_str());
    std::string held = first.substr(0, room);
    if (copied != (first.size() <= room)) {
        std::abort();
    }
    expect_field(destination, capacity, held);

    bool appended = append_text(destination, capacity, second.c_str());
    std::size_t left = room - held.size();
    if (appended != (second.size() <= left)) {
        std::abort();
    }
    expect_field(destination, capacity, held + second.substr(0, left));
    std::free(destination);
}

void check_backup_name(std::size_t capacity, unsigned suffix, const std::tm& time)
{
    // The name written out independently: the two-digit rule is "%02d" for
    // the values a clock shows.
    char tail[16] = "";
    if (suffix > 1) {
        std::snprintf(tail, sizeof tail, "-%u", suffix);
    }
    char wanted[128];
    std::snprintf(wanted, sizeof wanted, "%d.%d.%lld__%02d_%02d_%02d%s.log", time.tm_mday,
                  time.tm_mon + 1, static_cast<long long>(time.tm_year) + 1900, time.tm_hour,
                  time.tm_min, time.tm_sec, tail);
    std::string name = wanted;
    if (name.size() >= backup_name_capacity) {
        std::abort(); // the capacity promised for the longest name is too small
    }

    char* whole = field(backup_name_capacity);
    backup_name(time, suffix, whole, backup_name_capacity);
    expect_field(whole, backup_name_capacity, name);
    std::free(whole);

    // Every name MOLV writes in a year of four digits is one that the
    // removal of old backups recognises as its own.
    const long long year = static_cast<long long>(time.tm_year) + 1900;
    if (year >= 1000 && year <= 9999 && !is_backup_name(name.c_str())) {
        std::abort();
    }

    char* cut = field(capacity);
    backup_name(time, suffix, cut, capacity);
    expect_field(cut, capacity, name.substr(0, capacity > 0 ? capacity - 1 : 0));
    std::free(cut);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t header[header_size] = {};
    std::size_t header_taken = size < header_size ? size : header_size;
    if (header_taken > 0) {
        std::memcpy(header, data, header_taken);
    }
    const char* rest = reinterpret_cast<const char*>(data + header_taken);
    std::size_t rest_size = size - header_taken;

    std::size_t capacity = header[0];
    const char* nul = static_cast<const char*>(std::memchr(rest, '\0', rest_size));
    std::string first(rest, nul != nullptr ? static_cast<std::size_t>(nul - rest) : rest_size);
    std::string second;
    if (nul != nullptr) {
        const char* after = nul + 1;
        std::size_t after_size = rest_size - first.size() - 1;
        const char* end = static_cast<const char*>(std::memchr(after, '\0', after_size));
        second.assign(after, end != nullptr ? static_cast<std::size_t>(end - after) : after_size);
    }
    check_copy_and_append(capacity, first, second);

    // Names as a folder may hold them: the matchers only ever answer, and a
    // working name they accept is one MOLV would write for its process.
    unsigned long owner = 0;
    is_backup_name(first.c_str());
    if (parse_working_name(first.c_str(), owner)) {
        char again[working_name_capacity];
        unsigned long serial = 0;
        const std::size_t dash = first.rfind('-');
        serial = std::strtoul(first.c_str() + dash + 1, nullptr, 10);
        if (!working_name(owner, serial, again, sizeof again) || first != again) {
            std::abort();
        }
    }

    // Local time as the C library gives it: every field within its range,
    // and a year that never passes INT_MAX, since the years the system clock
    // can reach are far below that.
    std::tm time{};
    time.tm_sec = small_field(read_u32(header + 5), 61);
    time.tm_min = small_field(read_u32(header + 9), 60);
    time.tm_hour = small_field(read_u32(header + 13), 24);
    time.tm_mday = 1 + small_field(read_u32(header + 17), 31);
    time.tm_mon = small_field(read_u32(header + 21), 12);
    std::int32_t year;
    std::uint32_t raw_year = read_u32(header + 25);
    std::memcpy(&year, &raw_year, sizeof year);
    time.tm_year = year > INT_MAX - 1900 ? year - 1900 : year;
    check_backup_name(capacity, read_u32(header + 1), time);
    return 0;
}
