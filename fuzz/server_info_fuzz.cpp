// Feeds arbitrary datagrams to the reader of the server's answer to
// "\info\", and what it read to the status file's renderer: nothing is read
// past the datagram, the fields stay within their room and hold no control
// character, the counts stay within their bounds, and the status text with
// them always fits and keeps every line a series or a comment.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "supervise/server_info.h"
#include "supervise/status.h"

namespace {

void expect_text_field(const char* field)
{
    const void* terminator = std::memchr(field, '\0', server_info_text_capacity);
    if (terminator == nullptr) {
        std::abort();
    }
    for (const char* at = field; *at != '\0'; ++at) {
        const unsigned char byte = static_cast<unsigned char>(*at);
        if (byte < 0x20 || byte == 0x7F) {
            std::abort();
        }
    }
}

char rendered[status_text_capacity];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A copy of exactly the datagram's size, so that AddressSanitizer sees
    // any read past it.
    char* datagram = static_cast<char*>(std::malloc(size > 0 ? size : 1));
    if (datagram == nullptr) {
        std::abort();
    }
    if (size > 0) {
        std::memcpy(datagram, data, size);
    }
    const server_info info = read_server_info(datagram, size);
    std::free(datagram);

    expect_text_field(info.map);
    expect_text_field(info.hostname);
    if ((info.players_known && info.players > longest_player_count) ||
        (info.max_players_known && info.max_players > longest_player_count) ||
        (!info.players_known && info.players != 0) ||
        (!info.max_players_known && info.max_players != 0)) {
        std::abort();
    }

    molv_status status = {};
    status.server_up = true;
    status.server_answering = true;
    status.players_known = info.players_known;
    status.players = info.players;
    status.max_players_known = info.max_players_known;
    status.max_players = info.max_players;
    std::memcpy(status.map, info.map, sizeof status.map);
    const std::size_t length =
        render_status(status, info.hostname, "fuzz", rendered, sizeof rendered);
    if (length == 0 || length >= sizeof rendered || rendered[length] != '\0' ||
        rendered[length - 1] != '\n') {
        std::abort();
    }
    // Every line: a comment, or a name, labels, a blank and the value; a
    // label value never ends a line early.
    for (const char* line = rendered; *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        if (end == nullptr || end == line) {
            std::abort();
        }
        if (line[0] != '#' && (std::memchr(line, '{', static_cast<std::size_t>(end - line)) ==
                                   nullptr ||
                               end[-1] == ' ')) {
            std::abort();
        }
        line = end + 1;
    }
    // The file speaks for the folder it was rendered for.
    char label[3 * server_info_text_capacity + 1];
    if (render_label_value(info.hostname, label, sizeof label) == 0 && info.hostname[0] != '\0') {
        std::abort();
    }
    if (!speaks_for_folder(rendered, length, label)) {
        std::abort();
    }
    return 0;
}
