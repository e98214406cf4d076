// Feeds arbitrary texts to the reader of the lock file's record, which
// "molv --status" and a MOLV started again read from a file in the server's
// folder, and what it read to the status lines: nothing is read past the
// text, the fields stay within their room, a record read is written back and
// read again alike, and the status lines always fit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/status_lines.h"
#include "platform/lock_record.h"

namespace {

void expect_field(const char* field, std::size_t capacity)
{
    if (std::memchr(field, '\0', capacity) == nullptr) {
        std::abort();
    }
}

std::tm utc(long long epoch_seconds)
{
    const std::time_t at = static_cast<std::time_t>(epoch_seconds);
    std::tm result{};
    gmtime_r(&at, &result);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A copy of exactly the file's size, so that AddressSanitizer sees any
    // read past it.
    char* text = static_cast<char*>(std::malloc(size > 0 ? size : 1));
    if (text == nullptr) {
        std::abort();
    }
    if (size > 0) {
        std::memcpy(text, data, size);
    }
    lock_record record = {};
    const bool read = parse_lock_record(text, size, record);
    std::free(text);
    if (!read) {
        return 0;
    }
    expect_field(record.molv_identity, sizeof record.molv_identity);
    expect_field(record.identity, sizeof record.identity);
    expect_field(record.log, sizeof record.log);
    expect_field(record.backup, sizeof record.backup);
    expect_field(record.facts.last_end, sizeof record.facts.last_end);
    expect_field(record.facts.map, sizeof record.facts.map);

    char written[lock_record_capacity];
    if (compose_lock_record(record, written, sizeof written)) {
        lock_record again = {};
        if (!parse_lock_record(written, std::strlen(written), again) ||
            again.molv != record.molv || again.server != record.server ||
            !same_facts(again.facts, record.facts) ||
            std::strcmp(again.identity, record.identity) != 0) {
            std::abort();
        }
    }

    char lines[2048];
    for (int state = 0; state < 4; ++state) {
        folder_view view = {};
        view.record_read = true;
        view.record = record;
        view.molv_runs = (state & 1) != 0;
        view.server_runs = (state & 2) != 0;
        view.now = 1796811123;
        describe_folder(view, utc, lines, sizeof lines);
        if (std::memchr(lines, '\0', sizeof lines) == nullptr) {
            std::abort();
        }
    }
    return 0;
}
