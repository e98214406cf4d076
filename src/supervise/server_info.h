// The server's answer to the status query "\info\" (a datagram of keys and
// values, each after a backslash: "\hostname\My server\numplayers\3" and so
// on, then "\maxplayers\10\mapname\DXMP_Area51_Bunker"). It comes from the network,
// so anything may be in it: it is read within its length, into fields of
// fixed size, and what cannot be read is left out.
#pragma once

#include <cstddef>

// Room for a map's or a host's name: longer ones are cut.
constexpr std::size_t server_info_text_capacity = 64;

// Player counts above this are no count.
constexpr unsigned longest_player_count = 65535;

// What an answer says of the server. A key that is missing, empty or not
// a number (for the counts) leaves its field unknown: false, or "".
struct server_info {
    bool players_known;
    bool max_players_known;
    unsigned players;
    unsigned max_players;
    char map[server_info_text_capacity];
    char hostname[server_info_text_capacity];
};

// Reads the `length` bytes at `answer` (no terminator needed; NUL bytes
// are bytes like others). Keys are matched exactly, in any order; the
// first of a key that comes twice counts. Control characters in the names
// are turned into '?', so that they print and label safely.
server_info read_server_info(const char* answer, std::size_t length);
