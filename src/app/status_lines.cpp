#include "app/status_lines.h"

#include <cstdio>

#include "app/arguments.h"
#include "console/log_line.h"
#include "text/text.h"

namespace {

// "2026-12-09 10:12:03"
void format_moment(local_time_of local, long long epoch_seconds, char* out, std::size_t capacity)
{
    const std::tm time = local(epoch_seconds);
    char month[12];
    char day[12];
    char stamp[24];
    two_digit(time.tm_mon + 1, month, sizeof month);
    two_digit(time.tm_mday, day, sizeof day);
    format_stamp(time, stamp, sizeof stamp);
    // The stamp without its brackets.
    stamp[9] = '\0';
    std::snprintf(out, capacity, "%04d-%s-%s %s", time.tm_year + 1900, month, day, stamp + 1);
}

// "05:30", or "05:30:15" when the seconds are not 0.
void format_time_of_day(local_time_of local, long long epoch_seconds, char* out,
                        std::size_t capacity)
{
    const std::tm time = local(epoch_seconds);
    char stamp[24];
    format_stamp(time, stamp, sizeof stamp);
    stamp[time.tm_sec == 0 ? 6 : 9] = '\0';
    copy_text(out, capacity, stamp + 1);
}

void add_line(char* destination, std::size_t capacity, const char* line)
{
    append_text(destination, capacity, line);
    append_text(destination, capacity, "\n");
}

// "7 launches, last end: crashed at 2026-12-09 09:58:12"
void describe_history(const run_facts& facts, local_time_of local, char* out,
                      std::size_t capacity)
{
    std::snprintf(out, capacity, "%llu %s", facts.launches,
                  facts.launches == 1 ? "launch" : "launches");
    if (facts.last_end[0] != '\0' && facts.last_end_at > 0) {
        char moment[96];
        format_moment(local, facts.last_end_at, moment, sizeof moment);
        char end[128];
        std::snprintf(end, sizeof end, ", last end: %s at %s", facts.last_end, moment);
        append_text(out, capacity, end);
    }
}

void describe_server(const folder_view& view, local_time_of local, char* destination,
                     std::size_t capacity)
{
    const lock_record& record = view.record;
    const run_facts& facts = record.facts;
    char history[192];
    describe_history(facts, local, history, sizeof history);
    char line[400];
    if (view.server_runs) {
        char since[128] = "";
        if (facts.server_since > 0) {
            char moment[96];
            format_moment(local, facts.server_since, moment, sizeof moment);
            std::snprintf(since, sizeof since, " since %s", moment);
        }
        std::snprintf(line, sizeof line, "The gameserver is running (process %lu)%s; %s.",
                      record.server, since, history);
        add_line(destination, capacity, line);
    } else {
        if (facts.next_start > 0) {
            const long long left = facts.next_start > view.now ? facts.next_start - view.now : 0;
            std::snprintf(line, sizeof line,
                          "The gameserver is not running; next start in %lld %s.", left,
                          left == 1 ? "second" : "seconds");
        } else {
            copy_text(line, sizeof line, "The gameserver is not running.");
        }
        add_line(destination, capacity, line);
        std::snprintf(line, sizeof line, "%s.", history);
        add_line(destination, capacity, line);
    }
    if (view.server_runs && facts.players_known) {
        if (facts.max_players != 0) {
            std::snprintf(line, sizeof line, "%u of %u %s", facts.players, facts.max_players,
                          facts.max_players == 1 ? "player" : "players");
        } else {
            std::snprintf(line, sizeof line, "%u %s", facts.players,
                          facts.players == 1 ? "player" : "players");
        }
        if (facts.map[0] != '\0') {
            append_text(line, sizeof line, ", map ");
            append_text(line, sizeof line, facts.map);
        }
        append_text(line, sizeof line, ".");
        add_line(destination, capacity, line);
    }
    if (facts.next_restart > 0) {
        char at[32];
        format_time_of_day(local, facts.next_restart, at, sizeof at);
        std::snprintf(line, sizeof line, "The next scheduled restart is at %s.", at);
        add_line(destination, capacity, line);
    }
}

} // namespace

int describe_folder(const folder_view& view, local_time_of local, char* destination,
                    std::size_t capacity)
{
    if (capacity == 0) {
        return exit_no_molv;
    }
    destination[0] = '\0';
    const lock_record& record = view.record;
    char line[400];
    if (!view.record_read || !view.molv_runs) {
        add_line(destination, capacity, "MOLV is not running in this folder.");
        if (view.record_read && view.server_runs) {
            std::snprintf(line, sizeof line,
                          "The gameserver is running without a MOLV (process %lu); a MOLV "
                          "started here takes it over.",
                          record.server);
            add_line(destination, capacity, line);
        }
        return exit_no_molv;
    }
    char since[128] = "";
    if (record.molv_since > 0) {
        char moment[96];
        format_moment(local, record.molv_since, moment, sizeof moment);
        std::snprintf(since, sizeof since, " since %s", moment);
    }
    std::snprintf(line, sizeof line, "MOLV is running in this folder (process %lu)%s.", record.molv,
                  since);
    add_line(destination, capacity, line);
    describe_server(view, local, destination, capacity);
    return view.server_runs ? exit_fine : exit_not_running;
}
