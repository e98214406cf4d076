// Start-up end to end: the real molv in an empty directory, its whole
// output compared with what an operator must see.
#include <gtest/gtest.h>

#include <string>

#include "app/startup.h"
#include "e2e_fixture.h"
#include "launch_modes.h"

std::string expected_banner()
{
    std::string text;
    for (const char* line : banner_lines) {
        text += std::string("[HH:MM:SS] ") + line + "\n";
    }
    return text + "\n";
}

std::string expected_start(bool settings_found, const launch_case& mode)
{
    return expected_banner() +
           (settings_found ? "[HH:MM:SS]   Loading settings...\n"
                           : "[HH:MM:SS]   WARNING: Config file not found. Using default settings.\n") +
           "[HH:MM:SS]   > Loaded settings:\n" + mode.notes + mode.summary + "\n";
}

std::string standard_summary(const std::string& exe, const std::string& log,
                             const std::string& type, const std::string& players,
                             const std::string& map)
{
    return "             - Exe:           " + exe + "\n" +
           "             - Log:           " + log + "\n" +
           "             - bMTL:          False    \n" +
           "             - Game type:     " + type + "\n" +
           "             - Max. players:  " + players + "\n" +
           "             - Startmap:      " + map + "\n";
}

std::string mtl_summary(const std::string& exe, const std::string& log, const std::string& type,
                        const std::string& players, const std::string& map,
                        const std::string& mutators)
{
    return "             - Exe:           " + exe + "\n" +
           "             - Log:           " + log + "\n" +
           "             - bMTL:          True\n" +
           "             - Game type:     " + type + "\n" +
           "             - Max. players:  " + players + "\n" +
           "             - Startmap:      " + map + "\n" +
           "             - Mutators:      " + mutators + "\n";
}

std::string expected_refusal(const char* error)
{
    return std::string("\n[HH:MM:SS] ") + error + "\n\n" + pause_prompt();
}

namespace {

const launch_case& standard_mode = launch_cases[1];

const std::string defaults_summary =
    standard_summary("deusex.exe", "server.log", "DeathMatchGame", "10", "DXMP_Area51_Bunker");

class start_up : public molv_test {};

class start_up_in_mode : public molv_test, public testing::WithParamInterface<launch_case> {};

} // namespace

TEST_F(start_up, WithoutSettingsOrServerShowsDefaultsAndStopsAtTheGate)
{
    start({}, input_kind::closed);
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_TRUE(molv.exited);
    EXPECT_EQ(molv.exit_code, cannot_start_status);

    launch_case defaults = standard_mode;
    defaults.summary = defaults_summary.c_str();
    EXPECT_EQ(mask_stamps(output()),
              expected_start(false, defaults) + expected_refusal("  ERROR: Executeable not found!"));
}

TEST_P(start_up_in_mode, SettingsFileGivesTheSummaryOfItsMode)
{
    const launch_case& mode = GetParam();
    write_settings(mode.settings);
    start({}, input_kind::closed);
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_TRUE(molv.exited);
    EXPECT_EQ(molv.exit_code, cannot_start_status);
    EXPECT_EQ(mask_stamps(output()),
              expected_start(true, mode) + expected_refusal("  ERROR: Executeable not found!"));
}

INSTANTIATE_TEST_SUITE_P(, start_up_in_mode, testing::ValuesIn(launch_cases),
                         mode_name);

TEST_F(start_up, CommandLineOverTheLimitIsRefusedAndNoServerStarts)
{
    // 255 characters of command line are allowed; this start map alone
    // takes 200 of them, and the rest of the template more than 55.
    const std::string map(200, 'M');
    write_settings("[GAME]\ngame_startmap=" + map + "\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start();
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_TRUE(molv.exited);
    EXPECT_EQ(molv.exit_code, cannot_start_status);

    launch_case long_map = standard_mode;
    const std::string summary =
        standard_summary("deusex.exe", "server.log", "DeathMatchGame", "10", map);
    long_map.summary = summary.c_str();
    EXPECT_EQ(mask_stamps(output()),
              expected_start(true, long_map) +
                  expected_refusal("  ERROR: Server command line is longer than 255 characters!"));
    EXPECT_TRUE(server_records().empty());
}

TEST_F(start_up, NumbersThatAreNotNumbersAreReportedRightAfterLoading)
{
    // The warnings come before the summary, which is unchanged.
    for (const char* uptime : {"ten", "86401", ""}) {
        write_settings(std::string("[GENERAL]\nmin_uptime=") + uptime +
                       "\nlogfile_backups_days=-1\nstatus_file=status/\nrestart_when_empty=soon\n");
        start({}, input_kind::closed);
        ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
        EXPECT_TRUE(molv.exited);
        EXPECT_EQ(molv.exit_code, cannot_start_status);
        EXPECT_EQ(mask_stamps(output()),
                  expected_banner() + "[HH:MM:SS]   Loading settings...\n" +
                      "[HH:MM:SS]   WARNING: min_uptime is not a number of seconds; using 10.\n" +
                      "[HH:MM:SS]   WARNING: logfile_backups_days is not a number of days; "
                      "keeping every backup.\n" +
                      "[HH:MM:SS]   WARNING: restart_when_empty is not a number of minutes; "
                      "scheduled restarts do not wait.\n" +
                      "[HH:MM:SS]   WARNING: status_file is not a file name; no status file.\n" +
                      "[HH:MM:SS]   > Loaded settings:\n" + defaults_summary + "\n" +
                      expected_refusal("  ERROR: Executeable not found!"))
            << "min_uptime=" << uptime;
        molv = molv_process();
    }
}

TEST_F(start_up, AWaitForAnEmptyServerWithoutQueryPortIsWarnedAboutAfterTheSettings)
{
    for (const char* port : {"", "0", "port"}) {
        write_settings(std::string("[GENERAL]\nrestart_when_empty=15\nquery_port=") + port + "\n");
        start({}, input_kind::closed);
        ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
        EXPECT_EQ(mask_stamps(output()),
                  expected_banner() + "[HH:MM:SS]   Loading settings...\n" +
                      (port[0] == 'p' ? "[HH:MM:SS]   WARNING: query_port is not a port number; "
                                        "hang detection is off.\n"
                                      : "") +
                      "[HH:MM:SS]   WARNING: restart_when_empty needs query_port; scheduled "
                      "restarts do not wait for players.\n" +
                      "[HH:MM:SS]   > Loaded settings:\n" + defaults_summary + "\n" +
                      expected_refusal("  ERROR: Executeable not found!"))
            << "query_port=" << port;
        molv = molv_process();
    }
}

namespace {

// Settings with optional keys, and the lines molv must show for them between
// the summary and its empty line.
struct feature_case {
    const char* name;
    const char* settings;
    bool event_program_installed;
    const char* lines;
};

const feature_case feature_cases[] = {
    {"in_order",
     "[GENERAL]\nlogfile_backups_days=1\non_event=events.exe\nrestart_at=05:30, 17:30\n"
     "query_port=7791\nstatus_file=molv.prom\n",
     true,
     "[HH:MM:SS]   > Hang detection: query port 7791 on 127.0.0.1, after 60 seconds of silence.\n"
     "[HH:MM:SS]   > Scheduled restarts: 05:30, 17:30.\n"
     "[HH:MM:SS]   > Event program: events.exe\n"
     "[HH:MM:SS]   > Old backups removed after 1 day.\n"
     "[HH:MM:SS]   > Status file: molv.prom\n"},
    // Blanks around a value are dropped; the times are shown as written.
    {"other_values_and_a_missing_program",
     "[GENERAL]\nquery_port= 7791 \nquery_host=10.0.0.5\nhang_timeout=1\n"
     "restart_at=05:30,17:30:15\non_event=no-such-program\nlogfile_backups_days=7\n",
     false,
     "[HH:MM:SS]   > Hang detection: query port 7791 on 10.0.0.5, after 1 second of silence.\n"
     "[HH:MM:SS]   > Scheduled restarts: 05:30, 17:30:15.\n"
     "[HH:MM:SS]   > Event program: no-such-program\n"
     "[HH:MM:SS]   > Old backups removed after 7 days.\n"
     "[HH:MM:SS]   WARNING: The on_event program was not found: no-such-program\n"},
    // Nothing is removed while no backups are made.
    {"every_key_off",
     "[GENERAL]\nquery_port=0\nrestart_at=\non_event=\nlogfile_backups=0\n"
     "logfile_backups_days=7\n",
     false, ""},
};

class start_up_with_features : public molv_test,
                               public testing::WithParamInterface<feature_case> {};

} // namespace

TEST_P(start_up_with_features, EachFeatureThatIsOnHasItsLineAfterTheSummary)
{
    const feature_case& feature = GetParam();
    write_settings(feature.settings);
    if (feature.event_program_installed) {
        ASSERT_TRUE(install_server(work, "events.exe"));
    }
    start({}, input_kind::closed);
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_EQ(molv.exit_code, cannot_start_status);
    EXPECT_EQ(mask_stamps(output()),
              expected_banner() + "[HH:MM:SS]   Loading settings...\n" +
                  "[HH:MM:SS]   > Loaded settings:\n" + defaults_summary + feature.lines + "\n" +
                  expected_refusal("  ERROR: Executeable not found!"));
}

INSTANTIATE_TEST_SUITE_P(, start_up_with_features, testing::ValuesIn(feature_cases),
                         [](const testing::TestParamInfo<feature_case>& param) {
                             return std::string(param.param.name);
                         });

TEST_F(start_up, VersionAndHelpStartNothingEvenBesideAServer)
{
    write_settings("[GENERAL]\nmin_uptime=0\non_event=events.exe\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(install_server(work, "events.exe"));
    const std::vector<std::string> files = file_names(work);
    // The version row of the banner: "Version 1.3.2" among blanks.
    const std::string row = banner_lines[12];
    const std::size_t at = row.find("Version ") + 8;
    const std::string version = row.substr(at, row.find(' ', at) - at);
    // Other arguments are ignored, wherever they stand.
    for (const char* request : {"--version", "--help"}) {
        molv_launch launch = launch_in_work();
        launch.arguments = {"extra", request, "--version"};
        ASSERT_TRUE(start_molv(launch, molv));
        ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
        EXPECT_TRUE(molv.exited);
        EXPECT_EQ(molv.exit_code, 0);
        if (std::string(request) == "--version") {
            EXPECT_EQ(output(), "MOLV " + version + "\n");
        } else {
            EXPECT_NE(output().find("molv.ini in the current folder"), std::string::npos);
            EXPECT_NE(output().find("README"), std::string::npos);
        }
        molv = molv_process();
    }
    wait_until([] { return false; }, 1.0);
    EXPECT_TRUE(server_records().empty());
    EXPECT_EQ(read_file(records + "/events.txt"), "");
    EXPECT_EQ(file_names(work), files);
}

TEST_F(start_up, OtherArgumentsAreIgnoredAndAMistypedOptionStartsNothing)
{
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    molv_launch launch = launch_in_work({"MOLV_STANDIN_HOLD=1"});
    launch.arguments = {"-h", "help", "--stauts"};
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_EQ(molv.exit_code, 2);
    EXPECT_EQ(output(), "Unknown option: --stauts (see --help).\n");
    EXPECT_TRUE(server_records().empty());

    molv = molv_process();
    launch.arguments = {"-h", "help", "-"};
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_instance(1));
    EXPECT_EQ(cycle_messages(output()), std::vector<std::string>({starting, running}));
}
