// The wait of a scheduled restart for an empty server (restart_when_empty):
// at a restart_at time with players on, the restart waits until they have
// left, or for at most the minutes set. A pure function of what it is
// given; the cycle supplies the clock and the answers of the watchdog's
// queries, and looks again after each answer, so that the wait costs no
// wake-up of its own but the one at its limit.
#pragma once

#include <cstddef>

// Why the restart goes on now, or still waits.
enum class quiet_reason {
    not_asked,        // restart_when_empty is 0: the restart comes at the set time
    no_query_port,    // nothing to ask the server how many play
    no_answer,        // the running server has not answered since its start
    no_player_count,  // its last answer carried no numplayers
    empty,            // no one was playing at the set time
    players_left,     // the count came to 0 during the wait
    limit_reached,    // the minutes of the wait have passed
    players_on,       // still waiting
};

// What the server's answers say, as the cycle knows it at a look.
struct quiet_view {
    bool query_port_set;
    bool answered_since_start; // the running instance has answered at least once
    bool players_known;        // the last answer carried a player count
    unsigned players;
};

// A wait under way; all zero before the first look at a restart time.
struct quiet_wait {
    bool waiting;
    unsigned long long began_ms;
    unsigned long long limit_ms; // when the wait ends whoever plays
};

// What the cycle does after a look.
struct quiet_step {
    bool restart;       // stop the server now: "  > Scheduled restart: stopping the gameserver..."
    bool announce;      // the wait has just begun: log quiet_wait_message() now
    quiet_reason reason;
    unsigned long long wake_at_ms; // while waiting, the limit: look again then at the latest
};

// Looks at a scheduled restart at `now_ms` (monotonic milliseconds), first
// when its time comes and then after every answer and at the limit, with
// restart_when_empty = `minutes`. A look with no wait under way begins one
// when players are on, and says so once (`announce`); a wait ends when the
// count is 0 or the limit is reached. Once `restart` is true, `wait` is
// all zero again.
quiet_step quiet_restart_look(quiet_wait& wait, unsigned minutes, const quiet_view& view,
                              unsigned long long now_ms);

// "  > Scheduled restart: waiting up to N minutes for P players to leave..."
// (with "minute" and "player" for 1) into `destination`; returns the
// length, cut to fit `capacity` (0 writes nothing).
std::size_t quiet_wait_message(unsigned minutes, unsigned players, char* destination,
                               std::size_t capacity);
