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
    EXPECT_EQ(molv.exit_code, 0);

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
    EXPECT_EQ(molv.exit_code, 0);
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
    EXPECT_EQ(molv.exit_code, 0);

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
                       "\nlogfile_backups_days=-1\nstatus_file=status/\n");
        start({}, input_kind::closed);
        ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
        EXPECT_TRUE(molv.exited);
        EXPECT_EQ(molv.exit_code, 0);
        EXPECT_EQ(mask_stamps(output()),
                  expected_banner() + "[HH:MM:SS]   Loading settings...\n" +
                      "[HH:MM:SS]   WARNING: min_uptime is not a number of seconds; using 10.\n" +
                      "[HH:MM:SS]   WARNING: logfile_backups_days is not a number of days; "
                      "keeping every backup.\n" +
                      "[HH:MM:SS]   WARNING: status_file is not a file name; no status file.\n" +
                      "[HH:MM:SS]   > Loaded settings:\n" + defaults_summary + "\n" +
                      expected_refusal("  ERROR: Executeable not found!"))
            << "min_uptime=" << uptime;
        molv = molv_process();
    }
}
