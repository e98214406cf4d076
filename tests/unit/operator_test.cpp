// What an operator at another console sees and gets: the lines of
// "molv --status" from a record, the exit statuses, the options, and the
// date line of a transcript that runs for days.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "app/arguments.h"
#include "app/status_lines.h"
#include "console/log_line.h"
#include "platform/lock_record.h"

namespace {

// The local time of the tests: UTC, whatever the machine's zone.
std::tm utc(long long epoch_seconds)
{
    const std::time_t at = static_cast<std::time_t>(epoch_seconds);
    const std::tm* time = std::gmtime(&at);
    return time != nullptr ? *time : std::tm{};
}

// 2026-12-09 10:12:03 UTC
constexpr long long morning = 1796811123;

folder_view view_of(bool molv_runs, bool server_runs, run_facts facts)
{
    folder_view view = {};
    view.record_read = true;
    view.record.molv = 1234;
    view.record.molv_since = morning;
    std::strcpy(view.record.molv_identity, "1 boot");
    view.record.server = 5678;
    std::strcpy(view.record.identity, "2 boot");
    view.record.facts = facts;
    view.molv_runs = molv_runs;
    view.server_runs = server_runs;
    view.now = morning + 100;
    return view;
}

run_facts facts_of(unsigned long long launches, long long since, const char* end, long long end_at,
                   long long next_start = 0, long long next_restart = 0, int players = -1,
                   unsigned max_players = 0, const char* map = "")
{
    run_facts facts = {};
    facts.players_known = players >= 0;
    facts.players = players >= 0 ? static_cast<unsigned>(players) : 0;
    facts.max_players = max_players;
    std::strcpy(facts.map, map);
    facts.launches = launches;
    facts.server_since = since;
    std::strcpy(facts.last_end, end);
    facts.last_end_at = end_at;
    facts.next_start = next_start;
    facts.next_restart = next_restart;
    return facts;
}

} // namespace

TEST(StatusLines, EveryStateHasItsLinesAndTheStatusOfInitScripts)
{
    const std::string molv = "MOLV is running in this folder (process 1234) since 2026-12-09 10:12:03.\n";
    const struct {
        const char* name;
        folder_view view;
        int status;
        std::string text;
    } cases[] = {
        {"both run, one end before", view_of(true, true, facts_of(7, morning + 1, "crashed", morning - 829)),
         0,
         molv + "The gameserver is running (process 5678) since 2026-12-09 10:12:04; 7 launches, "
                "last end: crashed at 2026-12-09 09:58:14.\n"},
        {"first launch, schedule", view_of(true, true, facts_of(1, morning + 1, "", 0, 0, morning + 69477)),
         0,
         molv + "The gameserver is running (process 5678) since 2026-12-09 10:12:04; 1 launch.\n"
                "The next scheduled restart is at 05:30.\n"},
        {"found running, seconds in the schedule",
         view_of(true, true, facts_of(0, morning - 50, "", 0, 0, morning + 69492)), 0,
         molv + "The gameserver is running (process 5678) since 2026-12-09 10:11:13; 0 launches.\n"
                "The next scheduled restart is at 05:30:15.\n"},
        {"players and map", view_of(true, true, facts_of(2, morning, "", 0, 0, 0, 3, 10, "DXMP_Area51_Bunker")),
         0,
         molv + "The gameserver is running (process 5678) since 2026-12-09 10:12:03; 2 launches.\n"
                "3 of 10 players, map DXMP_Area51_Bunker.\n"},
        {"one player, nothing more told", view_of(true, true, facts_of(2, morning, "", 0, 0, 0, 1)),
         0,
         molv + "The gameserver is running (process 5678) since 2026-12-09 10:12:03; 2 launches.\n"
                "1 player.\n"},
        {"retry pause", view_of(true, false, facts_of(3, 0, "hung", morning + 95, morning + 108)), 1,
         molv + "The gameserver is not running; next start in 8 seconds.\n"
                "3 launches, last end: hung at 2026-12-09 10:13:38.\n"},
        {"pause ending", view_of(true, false, facts_of(1, 0, "crashed", morning + 99, morning + 101)),
         1,
         molv + "The gameserver is not running; next start in 1 second.\n"
                "1 launch, last end: crashed at 2026-12-09 10:13:42.\n"},
        {"pause overdue", view_of(true, false, facts_of(2, 0, "asked", morning + 90, morning + 95)), 1,
         molv + "The gameserver is not running; next start in 0 seconds.\n"
                "2 launches, last end: asked at 2026-12-09 10:13:33.\n"},
        {"stopping", view_of(true, false, facts_of(2, 0, "", 0)), 1,
         molv + "The gameserver is not running.\n2 launches.\n"},
        {"no MOLV, server left", view_of(false, true, facts_of(2, morning, "", 0)), 3,
         "MOLV is not running in this folder.\nThe gameserver is running without a MOLV "
         "(process 5678); a MOLV started here takes it over.\n"},
        {"no MOLV, nothing", view_of(false, false, facts_of(2, morning, "", 0)), 3,
         "MOLV is not running in this folder.\n"},
    };
    for (const auto& each : cases) {
        char text[2048];
        EXPECT_EQ(describe_folder(each.view, utc, text, sizeof text), each.status) << each.name;
        EXPECT_EQ(std::string(text), each.text) << each.name;
    }
    // No record at all, and a text cut to its room.
    folder_view none = {};
    char text[40];
    EXPECT_EQ(describe_folder(none, utc, text, sizeof text), exit_no_molv);
    EXPECT_STREQ(text, "MOLV is not running in this folder.\n");
    EXPECT_EQ(describe_folder(view_of(true, true, facts_of(7, morning, "crashed", morning)), utc,
                              text, sizeof text),
              exit_fine);
    EXPECT_EQ(std::strlen(text), sizeof text - 1);
}

TEST(StatusLines, TheRecordCarriesTheFactsAndTakesThemOnlyWhole)
{
    lock_record record = view_of(true, true, facts_of(7, morning + 1, "crashed", morning - 829,
                                                      morning + 8, morning + 69477, 0, 16,
                                                      "DX MP"))
                             .record;
    char text[lock_record_capacity];
    ASSERT_TRUE(compose_lock_record(record, text, sizeof text));
    EXPECT_STREQ(text, "molv 1234\nsince 1796811123 1 boot\nserver 5678 2 boot\nlaunches 7\n"
                       "running 1796811124\nended crashed 1796810294\nnext_start 1796811131\n"
                       "next_restart 1796880600\nplayers 0 16 DX MP\nend\n");
    lock_record read = {};
    ASSERT_TRUE(parse_lock_record(text, std::strlen(text), read));
    EXPECT_TRUE(same_facts(read.facts, record.facts));
    EXPECT_STREQ(read.molv_identity, "1 boot");
    EXPECT_EQ(read.molv_since, morning);
    // A record cut short, or with a line not well formed, tells only the id.
    for (const std::string& bad :
         {std::string(text, std::strlen(text) - 2), std::string(text).replace(std::string(text).find("launches"), 8, "launchez"),
          std::string("molv 1234\nended crashed\nend\n"), std::string("molv 1234\nsince x\nend\n"),
          std::string("molv 1234\nended  1796810294\nend\n"),
          std::string("molv 1234\nplayers 3\nend\n"), std::string("molv 1234\nplayers 3 x\nend\n"),
          std::string("molv 1234\nplayers 3 10 \nend\n"),
          std::string("molv 1234\nsince 5 a\0b\nend\n", 26)}) {
        ASSERT_TRUE(parse_lock_record(bad.data(), bad.size(), read)) << bad;
        EXPECT_EQ(read.molv, 1234u) << bad;
        EXPECT_EQ(read.molv_since, 0) << bad;
        EXPECT_EQ(read.facts.launches, 0u) << bad;
        EXPECT_EQ(read.server, 0u) << bad;
    }
    // A cause with a blank could not be read back: it is not written.
    std::strcpy(record.facts.last_end, "a b");
    EXPECT_FALSE(compose_lock_record(record, text, sizeof text));
}

TEST(Options, KnownOptionsAnUnknownOneAndEverythingElse)
{
    const struct {
        std::vector<const char*> words;
        program_request request;
    } cases[] = {
        {{"molv"}, program_request::supervise},
        {{"molv", "-h", "help", "-"}, program_request::supervise},
        {{"molv", "x", "--status"}, program_request::status},
        {{"molv", "--restart", "--stop"}, program_request::restart},
        {{"molv", "--stop"}, program_request::stop},
        {{"molv", "--help", "--version"}, program_request::help},
        {{"molv", "--stauts", "--status"}, program_request::unknown},
        {{"molv", "--"}, program_request::unknown},
        {{"molv", "--Status"}, program_request::unknown},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(read_arguments(static_cast<int>(each.words.size()), each.words.data()),
                  each.request)
            << each.words.back();
    }
    const char* const mistyped[] = {"molv", "--stauts"};
    ASSERT_EQ(read_arguments(2, mistyped), program_request::unknown);
    EXPECT_STREQ(unknown_option, "--stauts");
    EXPECT_EQ(answer_request(program_request::unknown), exit_usage);
}

TEST(DateLine, ComesBeforeTheFirstLineOfALaterDayOnly)
{
    std::tm evening = utc(morning + 13 * 3600 + 47 * 60 + 56); // 23:59:59
    std::tm midnight = utc(morning + 13 * 3600 + 47 * 60 + 57); // 00:00:00 the next day
    std::tm later = utc(morning + 3 * 86400);
    std::tm new_year_eve = utc(1798761599); // 2026-12-31 23:59:59
    std::tm new_year = utc(1798761600);
    const struct {
        const char* name;
        long long previous;
        long long day;
        bool due;
    } cases[] = {
        {"first line of the run", -1, calendar_day(evening), false},
        {"same day", calendar_day(evening), calendar_day(evening), false},
        {"midnight", calendar_day(evening), calendar_day(midnight), true},
        {"clock set back over midnight", calendar_day(midnight), calendar_day(evening), false},
        {"days without a line", calendar_day(evening), calendar_day(later), true},
        {"new year", calendar_day(new_year_eve), calendar_day(new_year), true},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(date_line_due(each.previous, each.day), each.due) << each.name;
    }
    char line[64];
    format_date_line(midnight, line, sizeof line);
    EXPECT_STREQ(line, "  > Date: 2026-12-10 (Thursday).");
    format_date_line(new_year, line, sizeof line);
    EXPECT_STREQ(line, "  > Date: 2027-01-01 (Friday).");
}
