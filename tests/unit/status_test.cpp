// The status file's text: the state after a sequence of events, and the
// rules of the text format that a collector holds it to.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "supervise/status.h"

namespace {

std::string render(const molv_status& status, const char* folder = "/srv/deusex/ctf/System")
{
    static char text[status_text_capacity];
    const std::size_t length = render_status(status, folder, "1.3.2", text, sizeof text);
    EXPECT_GT(length, 0u);
    return std::string(text, length);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// The values of the series in order, separated by blanks.
std::string values_of(const std::string& text)
{
    std::string values;
    for (const std::string& line : lines_of(text)) {
        if (line[0] != '#') {
            values += (values.empty() ? "" : " ") + line.substr(line.rfind(' ') + 1);
        }
    }
    return values;
}

} // namespace

// With no status_file the changes write nothing, and the record is the
// state a file would show. Values in order: info, MOLV up, start time, up,
// server start time, answering, watched, launches, launch failures, ends
// crashed, hung, scheduled and asked, retry delay, backups, backup
// failures, events not run.
TEST(StatusFile, TheRecordFollowsLaunchesEndsBackupsAndPauses)
{
    ASSERT_STREQ(settings[status_file], "");
    const struct {
        const char* step;
        std::function<void()> change;
        const char* values;
    } steps[] = {
        {"start", [] { status_begin(1000, true); }, "1 1 1000 0 0 0 1 0 0 0 0 0 0 0 0 0 0"},
        {"launch", [] { status_server_launched(1001); }, "1 1 1000 1 1001 0 1 1 0 0 0 0 0 0 0 0 0"},
        {"answer", [] { status_server_answered(); }, "1 1 1000 1 1001 1 1 1 0 0 0 0 0 0 0 0 0"},
        {"crash", [] { status_server_ended(status_end::crashed); },
         "1 1 1000 0 1001 0 1 1 0 1 0 0 0 0 0 0 0"},
        {"backup", [] { status_log_backed_up(); }, "1 1 1000 0 1001 0 1 1 0 1 0 0 0 0 1 0 0"},
        {"pause", [] { status_retry_pause(2); }, "1 1 1000 0 1001 0 1 1 0 1 0 0 0 2 1 0 0"},
        {"late answer", [] { status_server_answered(); }, "1 1 1000 0 1001 0 1 1 0 1 0 0 0 2 1 0 0"},
        {"pause over", [] { status_retry_pause(0); }, "1 1 1000 0 1001 0 1 1 0 1 0 0 0 0 1 0 0"},
        {"failed launch", [] { status_launch_failed(); }, "1 1 1000 0 1001 0 1 1 1 1 0 0 0 0 1 0 0"},
        {"launch", [] { status_server_launched(1200); }, "1 1 1000 1 1200 0 1 2 1 1 0 0 0 0 1 0 0"},
        {"answer", [] { status_server_answered(); }, "1 1 1000 1 1200 1 1 2 1 1 0 0 0 0 1 0 0"},
        {"hang", [] { status_server_ended(status_end::hung); },
         "1 1 1000 0 1200 0 1 2 1 1 1 0 0 0 1 0 0"},
        {"failed backup", [] { status_log_backup_failed(); },
         "1 1 1000 0 1200 0 1 2 1 1 1 0 0 0 1 1 0"},
        {"busy event program", [] { status_event_not_run(); },
         "1 1 1000 0 1200 0 1 2 1 1 1 0 0 0 1 1 1"},
        {"found running", [] { status_server_running(1250); },
         "1 1 1000 1 1250 0 1 2 1 1 1 0 0 0 1 1 1"},
        {"crash", [] { status_server_ended(status_end::crashed); },
         "1 1 1000 0 1250 0 1 2 1 2 1 0 0 0 1 1 1"},
        {"launch", [] { status_server_launched(1300); }, "1 1 1000 1 1300 0 1 3 1 2 1 0 0 0 1 1 1"},
        {"scheduled stop", [] { status_server_ended(status_end::scheduled); },
         "1 1 1000 0 1300 0 1 3 1 2 1 1 0 0 1 1 1"},
        {"backup", [] { status_log_backed_up(); }, "1 1 1000 0 1300 0 1 3 1 2 1 1 0 0 2 1 1"},
        {"restart asked", [] { status_server_launched(1400); status_server_ended(status_end::asked); },
         "1 1 1000 0 1400 0 1 4 1 2 1 1 1 0 2 1 1"},
        {"MOLV ends", [] { status_molv_ending(); }, "1 0 1000 0 1400 0 1 4 1 2 1 1 1 0 2 1 1"},
        {"start unwatched", [] { status_begin(1000, false); }, "1 1 1000 0 0 0 0 0 0 0 0 0 0 0 0 0 0"},
    };
    for (const auto& step : steps) {
        step.change();
        EXPECT_EQ(values_of(render(current_status())), step.values) << step.step;
    }
}

TEST(StatusFile, EveryMetricHasItsHelpAndTypeAndEverySeriesTheFolder)
{
    const std::string text = render(molv_status{});
    ASSERT_EQ(text.back(), '\n');
    // Each family: one HELP, one TYPE, then its series, which carry its name
    // and the folder first; counters end in _total; no CR, no time stamp.
    std::vector<std::string> families;
    for (const std::string& line : lines_of(text)) {
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
        const std::string family = families.empty() ? "" : families.back();
        if (line.compare(0, 7, "# HELP ") == 0) {
            families.push_back(line.substr(7, line.find(' ', 7) - 7));
        } else if (line.compare(0, 7, "# TYPE ") == 0) {
            const std::string name = family.substr(0, family.find(' '));
            EXPECT_EQ(line.compare(0, 8 + name.size(), "# TYPE " + name + " "), 0) << line;
            families.back() += line.substr(7 + name.size());
        } else {
            EXPECT_EQ(line.compare(0, family.find(' ') + 9,
                                   family.substr(0, family.find(' ')) + "{folder=\""),
                      0)
                << line;
            EXPECT_EQ(line.find(' '), line.rfind(' ')) << line;
        }
    }
    EXPECT_EQ(families, std::vector<std::string>({
                            "molv_info gauge",
                            "molv_up gauge",
                            "molv_start_time_seconds gauge",
                            "molv_server_up gauge",
                            "molv_server_start_time_seconds gauge",
                            "molv_server_answering gauge",
                            "molv_server_watched gauge",
                            "molv_server_launches_total counter",
                            "molv_server_launch_failures_total counter",
                            "molv_server_ends_total counter",
                            "molv_retry_delay_seconds gauge",
                            "molv_log_backups_total counter",
                            "molv_log_backup_failures_total counter",
                            "molv_event_programs_not_run_total counter",
                        }));
    const std::string folder = "{folder=\"/srv/deusex/ctf/System\"";
    EXPECT_NE(text.find("\nmolv_info" + folder + ",version=\"1.3.2\"} 1\n"), std::string::npos);
    for (const char* cause : {"crashed", "hung", "scheduled", "asked"}) {
        EXPECT_NE(text.find("\nmolv_server_ends_total" + folder + ",cause=\"" + cause + "\"} 0\n"),
                  std::string::npos)
            << cause;
    }
}

TEST(StatusFile, TheFolderIsEscapedAsTheFormatWantsAndMadeUtf8)
{
    const struct {
        const char* folder;
        const char* label;
    } cases[] = {
        {"/srv/deusex/ctf/System", "/srv/deusex/ctf/System"},
        {"C:\\DeusEx\\System", "C:\\\\DeusEx\\\\System"},
        {"\\\\server\\share\\", "\\\\\\\\server\\\\share\\\\"},
        {"/srv/\"ctf\"", "/srv/\\\"ctf\\\""},
        {"/srv/a\nb", "/srv/a\\nb"},
        {"/srv/a\rb\tc", "/srv/a\rb\tc"},
        {"/srv/caf\xC3\xA9/\xE2\x82\xAC/\xF0\x9F\x98\x80", "/srv/caf\xC3\xA9/\xE2\x82\xAC/\xF0\x9F\x98\x80"},
        // Bytes that begin or continue no UTF-8 character, cut sequences,
        // overlong forms, surrogates and code points past U+10FFFF.
        {"/srv/caf\xE9", "/srv/caf\xEF\xBF\xBD"},
        {"\xC3", "\xEF\xBF\xBD"},
        {"\x80" "a", "\xEF\xBF\xBD" "a"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xE0\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF8\x88\x80\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& entry : cases) {
        const std::string text = render(molv_status{}, entry.folder);
        const std::string series = std::string("molv_server_up{folder=\"") + entry.label + "\"} 0\n";
        EXPECT_NE(text.find(series), std::string::npos) << entry.folder << "\n" << text;
    }
}

TEST(StatusFile, ATextThatDoesNotFitIsRefusedWhole)
{
    const std::string text = render(molv_status{});
    std::vector<char> room(text.size() + 1, 'x');
    EXPECT_EQ(render_status(molv_status{}, "/srv/deusex/ctf/System", "1.3.2", room.data(),
                            room.size()),
              text.size());
    EXPECT_EQ(std::string(room.data()), text);
    room.assign(text.size() + 8, 'x');
    EXPECT_EQ(render_status(molv_status{}, "/srv/deusex/ctf/System", "1.3.2", room.data(),
                            text.size()),
              0u);
    EXPECT_EQ(room[0], '\0');
    EXPECT_EQ(std::string(room.data() + text.size(), 8), std::string(8, 'x'));

    // The longest folder, every byte escaped threefold, fits.
    static char text_room[status_text_capacity];
    const std::string longest(status_folder_capacity - 1, '\xFF');
    EXPECT_GT(render_status(molv_status{}, longest.c_str(), "1.3.2", text_room, sizeof text_room),
              0u);
}

TEST(StatusFile, ANameEndingInAFolderSeparatorOrWithControlCharactersIsNoFileName)
{
    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"", true},
        {"molv.prom", true},
        {"/var/lib/prometheus/node-exporter/molv-ctf.prom", true},
        {"C:\\exporter\\textfile_inputs\\molv.prom", true},
        {"..\\status\\molv.prom", true},
        {".molv.prom", true},
        {"status/", false},
        {"C:\\exporter\\", false},
        {"/", false},
        {".", false},
        {"..", false},
        {"status/.", false},
        {"status\\..", false},
        {"molv\t.prom", false},
        {"molv\x7F.prom", false},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(is_status_file_name(entry.text), entry.valid) << entry.text;
    }
}

// The players, the most there may be and the map, shown only while the
// running instance answers, and forgotten at its end.
TEST(StatusFile, PlayersAndMapAreShownWhileTheServerAnswers)
{
    const auto info = [](const char* answer) {
        return read_server_info(answer, std::string(answer).size());
    };
    const std::string folder = "{folder=\"/srv/deusex/ctf/System\"";
    const std::string players = "molv_server_players" + folder + "} ";
    const std::string most = "molv_server_max_players" + folder + "} ";
    const std::string map = "molv_server_map_info" + folder + ",map=\"";
    const struct {
        const char* step;
        std::function<void()> change;
        std::string shown; // the three series, "" where absent
    } steps[] = {
        {"start", [] { status_begin(1000, true); }, ""},
        {"answer before a launch",
         [&] { status_server_info(info("\\numplayers\\3\\maxplayers\\10\\mapname\\M")); }, ""},
        {"launch", [] { status_server_launched(1001); }, ""},
        {"info before the first answer",
         [&] { status_server_info(info("\\numplayers\\3\\maxplayers\\10\\mapname\\M")); }, ""},
        {"answer", [] { status_server_answered(); },
         players + "3\n" + most + "10\n" + map + "M\"} 1\n"},
        {"players leave, map changes",
         [&] { status_server_info(info("\\mapname\\DX \"Bunker\"\\numplayers\\0\\maxplayers\\10")); },
         players + "0\n" + most + "10\n" + map + "DX \\\"Bunker\\\"\"} 1\n"},
        {"an answer without them",
         [&] { status_server_info(info("\\hostname\\H")); }, ""},
        {"counts without map",
         [&] { status_server_info(info("\\numplayers\\65535\\maxplayers\\x")); },
         players + "65535\n"},
        {"crash", [] { status_server_ended(status_end::crashed); }, ""},
        {"launch", [] { status_server_launched(1100); }, ""},
        {"answer", [] { status_server_answered(); }, ""},
        {"map alone", [&] { status_server_info(info("\\mapname\\caf\xE9\n")); },
         map + "caf\xEF\xBF\xBD?\"} 1\n"},
        {"stopped", [] { status_server_stopped(); }, ""},
    };
    for (const auto& step : steps) {
        step.change();
        const std::string text = render(current_status());
        std::string shown;
        for (const std::string& line : lines_of(text)) {
            if (line.compare(0, 19, "molv_server_players") == 0 ||
                line.compare(0, 23, "molv_server_max_players") == 0 ||
                line.compare(0, 20, "molv_server_map_info") == 0) {
                shown += line + "\n";
            }
        }
        EXPECT_EQ(shown, step.shown) << step.step << "\n" << text;
        // Every family shown has its HELP and TYPE right before its series.
        for (const char* name : {"molv_server_players", "molv_server_max_players",
                                 "molv_server_map_info"}) {
            const bool series = text.find(std::string("\n") + name + "{") != std::string::npos;
            EXPECT_EQ(text.find(std::string("# TYPE ") + name + " gauge\n" + name + "{") !=
                          std::string::npos,
                      series)
                << step.step << " " << name;
        }
    }
}

// A status file speaks for a folder when one of its series carries that
// folder's label, escaped as the renderer escapes it, whole.
TEST(StatusFile, AnotherFileSpeaksForTheFolderOnlyWithItsWholeLabel)
{
    char label[3 * status_folder_capacity];
    ASSERT_GT(render_label_value("C:\\Deus \"Ex\"\n", label, sizeof label), 0u);
    EXPECT_STREQ(label, "C:\\\\Deus \\\"Ex\\\"\\n");
    char small[4] = "xxx";
    EXPECT_EQ(render_label_value("\\\\", small, sizeof small), 0u);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(render_label_value("\\", small, sizeof small), 2u);

    const struct {
        const char* text;
        const char* label;
        bool speaks;
    } cases[] = {
        {"molv_server_up{folder=\"/srv/ctf\"} 0\n", "/srv/ctf", true},
        {"molv_info{version=\"1.3.1\",folder=\"/srv/ctf\"} 1\n", "/srv/ctf", true},
        {"molv_server_up{folder=\"/srv/ctf/System\"} 0\n", "/srv/ctf", false},
        {"molv_server_up{folder=\"/srv/ct\"} 0\n", "/srv/ctf", false},
        {"molv_server_up{xfolder=\"/srv/ctf\"} 0\n", "/srv/ctf", false},
        {"# HELP folder=\"/srv/ctf\"\n", "/srv/ctf", false},
        {"up{folder=\"C:\\\\Deus\"} 1\n", "C:\\\\Deus", true},
        {"up{folder=\"C:\\Deus\"} 1\n", "C:\\\\Deus", false},
        {"{folder=\"/srv/ctf\"", "/srv/ctf", true},
        {"{folder=\"/srv/ctf", "/srv/ctf", false},
        {"", "/srv/ctf", false},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(speaks_for_folder(entry.text, std::string(entry.text).size(), entry.label),
                  entry.speaks)
            << entry.text;
    }
}
