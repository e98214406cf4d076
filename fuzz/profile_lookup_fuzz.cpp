// Feeds arbitrary bytes to the INI lookup behind the settings reader.
//
// Input: one byte of destination capacity (0 to 255), then the section name,
// the key name and the default, each ended by a NUL byte, then the text of
// the file (which may hold NUL bytes of its own). Missing names are empty.
//
// Every answer must be terminated within the capacity, counted right, and
// either taken from the text or from the default; a smaller capacity must cut
// the same answer rather than give another one. The text and the destination
// sit in buffers of exactly their size, so AddressSanitizer reports any read
// or write beyond them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "platform/profile_text.h"

namespace {

// Filled into every destination first, so a missing terminator shows.
const unsigned char unwritten = 0xA5;

// Takes bytes up to the next NUL (or the end) from [at, end) as a name.
std::string take_name(const std::uint8_t*& at, const std::uint8_t* end)
{
    const std::uint8_t* start = at;
    while (at < end && *at != 0) {
        ++at;
    }
    std::string name(reinterpret_cast<const char*>(start), static_cast<std::size_t>(at - start));
    if (at < end) {
        ++at; // the NUL that ended the name
    }
    return name;
}

bool contains(const char* haystack, std::size_t haystack_length, const char* needle,
              std::size_t needle_length)
{
    if (needle_length == 0) {
        return true;
    }
    if (needle_length > haystack_length) {
        return false;
    }
    for (std::size_t at = 0; at + needle_length <= haystack_length; ++at) {
        if (std::memcmp(haystack + at, needle, needle_length) == 0) {
            return true;
        }
    }
    return false;
}

// Runs one lookup into a destination of exactly `capacity` bytes and checks
// the contract every caller relies on. Returns the answer as a string.
std::string checked_lookup(const char* text, std::size_t length, const char* section,
                           const char* key, const char* default_value, unsigned long capacity)
{
    // Never zero bytes for the allocator, but only `capacity` of them count.
    char* destination = static_cast<char*>(std::malloc(capacity > 0 ? capacity : 1));
    if (destination == nullptr) {
        std::abort();
    }
    std::memset(destination, unwritten, capacity > 0 ? capacity : 1);

    unsigned long count =
        profile_lookup(text, length, section, key, default_value, destination, capacity);

    std::string answer;
    if (capacity == 0) {
        // Nothing may be written at all, not even a terminator.
        if (count != 0 || static_cast<unsigned char>(destination[0]) != unwritten) {
            std::abort();
        }
    } else {
        const void* terminator = std::memchr(destination, '\0', capacity);
        if (terminator == nullptr) {
            std::abort();
        }
        std::size_t used = static_cast<std::size_t>(static_cast<const char*>(terminator) - destination);
        if (count != used || count > capacity - 1) {
            std::abort();
        }
        answer.assign(destination, used);
    }
    std::free(destination);
    return answer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::uint8_t* at = data;
    const std::uint8_t* end = data + size;
    unsigned long capacity = *at++;
    std::string section = take_name(at, end);
    std::string key = take_name(at, end);
    std::string default_value = take_name(at, end);

    // The text in a block of its own, so that reading one byte before or
    // after it is caught.
    std::size_t length = static_cast<std::size_t>(end - at);
    char* text = static_cast<char*>(std::malloc(length > 0 ? length : 1));
    if (text == nullptr) {
        std::abort();
    }
    if (length > 0) {
        std::memcpy(text, at, length);
    }

    // With room for anything the text or the default could give, the answer
    // is never cut: it must come from one of the two.
    unsigned long roomy = static_cast<unsigned long>(length + default_value.size() + 1);
    std::string full = checked_lookup(text, length, section.c_str(), key.c_str(),
                                      default_value.c_str(), roomy);
    if (!contains(text, length, full.data(), full.size()) &&
        !contains(default_value.data(), default_value.size(), full.data(), full.size())) {
        std::abort();
    }

    // A small capacity gives the same answer, cut to capacity-1 characters.
    std::string cut = checked_lookup(text, length, section.c_str(), key.c_str(),
                                     default_value.c_str(), capacity);
    std::size_t expected = capacity == 0 ? 0 : full.size() < capacity - 1 ? full.size()
                                                                           : capacity - 1;
    if (cut.size() != expected || full.compare(0, expected, cut) != 0) {
        std::abort();
    }

    // The lookups the program makes, one per setting, over the same text, with the
    // capacity of a setting.
    for (int id = 0; id < setting_count; ++id) {
        checked_lookup(text, length, setting_keys[id].section, setting_keys[id].key,
                       setting_keys[id].default_value, setting_capacity);
    }

    std::free(text);
    return 0;
}
