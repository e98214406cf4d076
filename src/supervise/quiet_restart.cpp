#include "supervise/quiet_restart.h"

#include <cstdio>

namespace {

quiet_step restart_now(quiet_wait& wait, quiet_reason reason)
{
    wait = quiet_wait{};
    return quiet_step{true, false, reason, 0};
}

} // namespace

quiet_step quiet_restart_look(quiet_wait& wait, unsigned minutes, const quiet_view& view,
                              unsigned long long now_ms)
{
    if (minutes == 0) {
        return restart_now(wait, quiet_reason::not_asked);
    }
    if (!view.query_port_set) {
        return restart_now(wait, quiet_reason::no_query_port);
    }
    if (!wait.waiting) {
        if (!view.answered_since_start) {
            return restart_now(wait, quiet_reason::no_answer);
        }
        if (!view.players_known) {
            return restart_now(wait, quiet_reason::no_player_count);
        }
        if (view.players == 0) {
            return restart_now(wait, quiet_reason::empty);
        }
        wait.waiting = true;
        wait.began_ms = now_ms;
        wait.limit_ms = now_ms + static_cast<unsigned long long>(minutes) * 60000ULL;
        return quiet_step{false, true, quiet_reason::players_on, wait.limit_ms};
    }
    if (now_ms >= wait.limit_ms) {
        return restart_now(wait, quiet_reason::limit_reached);
    }
    // An answer without a count during the wait tells nothing new: the
    // wait goes on to its limit unless a count of 0 comes.
    if (view.players_known && view.players == 0) {
        return restart_now(wait, quiet_reason::players_left);
    }
    return quiet_step{false, false, quiet_reason::players_on, wait.limit_ms};
}

std::size_t quiet_wait_message(unsigned minutes, unsigned players, char* destination,
                               std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    const int length = std::snprintf(
        destination, capacity,
        "  > Scheduled restart: waiting up to %u %s for %u %s to leave...", minutes,
        minutes == 1 ? "minute" : "minutes", players, players == 1 ? "player" : "players");
    if (length < 0) {
        destination[0] = '\0';
        return 0;
    }
    const std::size_t written = static_cast<std::size_t>(length);
    return written < capacity ? written : capacity - 1;
}
