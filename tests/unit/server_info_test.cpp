// The answer to "\info\" as it comes from the network, and the decisions of
// a scheduled restart that waits for the players to leave.
#include <gtest/gtest.h>

#include <string>

#include "supervise/quiet_restart.h"
#include "supervise/server_info.h"

namespace {

// "players/max map hostname", "-" for what is unknown.
std::string summary(const server_info& info)
{
    return (info.players_known ? std::to_string(info.players) : "-") + "/" +
           (info.max_players_known ? std::to_string(info.max_players) : "-") + " " +
           (info.map[0] != '\0' ? info.map : "-") + " " +
           (info.hostname[0] != '\0' ? info.hostname : "-");
}

} // namespace

TEST(ServerInfo, AnswersAreReadWithinTheirLengthWhateverTheyHold)
{
    const std::string long_name(300, 'n');
    const std::string cut_name(server_info_text_capacity - 1, 'n');
    const struct {
        std::string answer;
        const char* read;
    } cases[] = {
        // Real answers, with players and without, and the stand-in's.
        {"\\hostname\\DX CTF\\hostport\\7790\\maptitle\\Bunker\\mapname\\DXMP_Area51_Bunker"
         "\\gametype\\CTFGame\\numplayers\\3\\maxplayers\\10\\gamemode\\openplaying"
         "\\gamever\\1100\\minnetver\\1100\\final\\\\queryid\\41.1",
         "3/10 DXMP_Area51_Bunker DX CTF"},
        {"\\hostname\\Empty\\mapname\\DXMP_Cathedral\\numplayers\\0\\maxplayers\\16\\final\\",
         "0/16 DXMP_Cathedral Empty"},
        {"\\hostname\\MOLV stand-in\\numplayers\\0\\maxplayers\\10\\", "0/10 - MOLV stand-in"},
        // Keys in any order; the first of a key given twice counts.
        {"\\maxplayers\\8\\mapname\\M\\numplayers\\2\\hostname\\H", "2/8 M H"},
        {"\\numplayers\\2\\numplayers\\9\\mapname\\First\\mapname\\Second", "2/- First -"},
        // Missing, empty and broken values leave their field unknown.
        {"", "-/- - -"},
        {"\\", "-/- - -"},
        {"\\\\\\\\\\\\", "-/- - -"},
        {"\\numplayers\\\\maxplayers\\x10\\mapname\\", "-/- - -"},
        {"\\numplayers\\-1\\maxplayers\\1 0", "-/- - -"},
        {"\\numplayers\\65535\\maxplayers\\65536", "65535/- - -"},
        {"\\numplayers\\00003\\maxplayers\\000010", "3/- - -"},
        {"\\numplayers\\99999999999999999999999", "-/- - -"},
        {"\\numplayers", "-/- - -"},
        {"\\numplayers\\4", "4/- - -"},
        // Cut short in a key, or in the middle of a number: what is whole
        // counts, and "1" is a whole number.
        {"\\numplayers\\12\\maxpl", "12/- - -"},
        // Keys are matched exactly.
        {"\\NumPlayers\\3\\numplayersx\\4\\xmapname\\M", "-/- - -"},
        // No leading backslash: read from the first key all the same.
        {"numplayers\\5\\maxplayers\\6", "5/6 - -"},
        // Long names are cut to their field; control bytes and NUL become
        // '?', other bytes are kept for the status file to escape.
        {"\\mapname\\" + long_name, nullptr},
        {std::string("\\mapname\\A\nB\0C\x7F", 15) + "\\hostname\\caf\xC3\xA9 \"q\"",
         "-/- A?B?C? caf\xC3\xA9 \"q\""},
    };
    for (const auto& entry : cases) {
        const server_info info = read_server_info(entry.answer.data(), entry.answer.size());
        if (entry.read != nullptr) {
            EXPECT_EQ(summary(info), entry.read) << entry.answer;
        } else {
            EXPECT_EQ(std::string(info.map), cut_name);
        }
    }
    // Only the length given is read: the bytes after it are not looked at.
    const char answer[] = "\\numplayers\\12";
    EXPECT_EQ(summary(read_server_info(answer, sizeof answer - 2)), "1/- - -");
    EXPECT_EQ(summary(read_server_info(nullptr, 10)), "-/- - -");
}

// One scheduled restart, look by look: restart_when_empty, what the
// server's answers say, the time, and what comes of it.
TEST(QuietRestart, TheRestartWaitsForPlayersToLeaveAndNoLongerThanTheLimit)
{
    const quiet_view no_port = {false, true, true, 3};
    const quiet_view silent = {true, false, false, 0};
    const quiet_view uncounted = {true, true, false, 0};
    const quiet_view empty = {true, true, true, 0};
    const quiet_view three = {true, true, true, 3};
    const quiet_view one = {true, true, true, 1};
    const struct {
        const char* name;
        unsigned minutes;
        struct look {
            quiet_view view;
            unsigned long long now_ms;
            bool restart;
            bool announce;
            quiet_reason reason;
            unsigned long long wake_at_ms;
        } looks[4];
        unsigned count;
    } cases[] = {
        {"not asked", 0, {{three, 1000, true, false, quiet_reason::not_asked, 0}}, 1},
        {"no query port", 5, {{no_port, 1000, true, false, quiet_reason::no_query_port, 0}}, 1},
        {"no answer since the start", 5, {{silent, 1000, true, false, quiet_reason::no_answer, 0}}, 1},
        {"no count in the answer", 5,
         {{uncounted, 1000, true, false, quiet_reason::no_player_count, 0}}, 1},
        {"empty at the time", 5, {{empty, 1000, true, false, quiet_reason::empty, 0}}, 1},
        {"players leaving", 5,
         {{three, 1000, false, true, quiet_reason::players_on, 301000},
          {one, 2000, false, false, quiet_reason::players_on, 301000},
          {uncounted, 3000, false, false, quiet_reason::players_on, 301000},
          {empty, 4000, true, false, quiet_reason::players_left, 0}},
         4},
        {"players that stay", 5,
         {{three, 1000, false, true, quiet_reason::players_on, 301000},
          {silent, 200000, false, false, quiet_reason::players_on, 301000},
          {three, 300999, false, false, quiet_reason::players_on, 301000},
          {three, 301000, true, false, quiet_reason::limit_reached, 0}},
         4},
        {"the longest wait", 1440,
         {{one, 5, false, true, quiet_reason::players_on, 86400005},
          {one, 86400005, true, false, quiet_reason::limit_reached, 0}},
         2},
    };
    for (const auto& entry : cases) {
        quiet_wait wait = {};
        for (unsigned i = 0; i < entry.count; ++i) {
            const auto& look = entry.looks[i];
            const quiet_step step = quiet_restart_look(wait, entry.minutes, look.view, look.now_ms);
            EXPECT_EQ(step.restart, look.restart) << entry.name << ", look " << i;
            EXPECT_EQ(step.announce, look.announce) << entry.name << ", look " << i;
            EXPECT_EQ(step.reason, look.reason) << entry.name << ", look " << i;
            EXPECT_EQ(step.wake_at_ms, look.wake_at_ms) << entry.name << ", look " << i;
            EXPECT_EQ(wait.waiting, !look.restart) << entry.name << ", look " << i;
        }
    }
}

TEST(QuietRestart, TheWaitIsAnnouncedInWholeWordsAndCutToItsRoom)
{
    const struct {
        unsigned minutes;
        unsigned players;
        const char* text;
    } cases[] = {
        {10, 3, "  > Scheduled restart: waiting up to 10 minutes for 3 players to leave..."},
        {1, 1, "  > Scheduled restart: waiting up to 1 minute for 1 player to leave..."},
        {1440, 65535,
         "  > Scheduled restart: waiting up to 1440 minutes for 65535 players to leave..."},
    };
    for (const auto& entry : cases) {
        char text[120];
        EXPECT_EQ(quiet_wait_message(entry.minutes, entry.players, text, sizeof text),
                  std::string(entry.text).size());
        EXPECT_STREQ(text, entry.text);
    }
    char small[12] = "xxxxxxxxxxx";
    EXPECT_EQ(quiet_wait_message(2, 2, small, 8), 7u);
    EXPECT_STREQ(small, "  > Sch");
    EXPECT_EQ(small[8], 'x');
    EXPECT_EQ(quiet_wait_message(2, 2, small, 0), 0u);
}
