#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/launch_profile.h"
#include "config/settings.h"

namespace {

struct profile_case {
    setting_value values[setting_count];

    profile_case() { default_settings(values); }

    profile_case& set(setting_id id, const std::string& text)
    {
        snprintf(values[id], setting_capacity, "%s", text.c_str());
        return *this;
    }

    std::string line(launch_mode mode, bool* fits = nullptr) const
    {
        char out[command_line_capacity];
        bool result = compose_command_line(values, mode, out, sizeof out);
        if (fits != nullptr) {
            *fits = result;
        }
        return out;
    }

    std::string summary(launch_mode mode) const
    {
        summary_line lines[summary_capacity];
        std::size_t count = summary_lines(values, mode, lines);
        std::string text;
        for (std::size_t i = 0; i < count; ++i) {
            text += std::string(lines[i].label) + lines[i].value + "\n";
        }
        return text;
    }
};

} // namespace

TEST(LaunchMode, ChosenByTheFirstCharacterOfGameMtl)
{
    EXPECT_EQ(choose_launch_mode("1"), launch_mode::mtl);
    EXPECT_EQ(choose_launch_mode("10"), launch_mode::mtl);
    EXPECT_EQ(choose_launch_mode("0"), launch_mode::standard);
    EXPECT_EQ(choose_launch_mode("01"), launch_mode::standard);
    EXPECT_EQ(choose_launch_mode("yes"), launch_mode::custom);
    EXPECT_EQ(choose_launch_mode("2"), launch_mode::custom);
    EXPECT_EQ(choose_launch_mode(""), launch_mode::custom);
    EXPECT_EQ(choose_launch_mode(" 1"), launch_mode::custom);
}

TEST(CommandLine, TheThreeTemplatesWithDefaults)
{
    profile_case defaults;
    EXPECT_EQ(defaults.line(launch_mode::standard),
              "deusex.exe DXMP_Area51_Bunker?Game=DeusEx.DeathMatchGame?-server?log=server.log?"
              "MaxPlayers=10?");
    EXPECT_EQ(defaults.line(launch_mode::mtl),
              "deusex.exe DXMP_Area51_Bunker?Game=DXMTL152b1.MTLDeathmatch?Mutator=NULL?-server?"
              "log=server.log?MaxPlayers=10?");
    EXPECT_EQ(defaults.line(launch_mode::custom),
              "deusex.exe DXMP_Area51_Bunker?Game=UnrealI.DeathMatchGame?Mutator=NULL?-server?"
              "log=server.log?MaxPlayers=10?");
}

TEST(CommandLine, ValuesGoInVerbatim)
{
    profile_case spaced;
    spaced.set(exename, "my server.exe").set(game_mode_std, "").set(max_players, "lots");
    EXPECT_EQ(spaced.line(launch_mode::standard),
              "my server.exe DXMP_Area51_Bunker?Game=DeusEx.?-server?log=server.log?"
              "MaxPlayers=lots?");
    profile_case percent;
    percent.set(game_startmap, "%s%n%%");
    EXPECT_EQ(percent.line(launch_mode::custom),
              "deusex.exe %s%n%%?Game=UnrealI.DeathMatchGame?Mutator=NULL?-server?"
              "log=server.log?MaxPlayers=10?");
}

TEST(CommandLine, FitsAt255CharactersAndIsRefusedAt256)
{
    // The standard line with defaults and no exename is 85 characters.
    profile_case base;
    base.set(exename, "");
    const std::size_t rest = base.line(launch_mode::standard).size();

    profile_case longest;
    longest.set(exename, std::string(255 - rest, 'x'));
    bool fits = false;
    std::string line = longest.line(launch_mode::standard, &fits);
    EXPECT_TRUE(fits);
    EXPECT_EQ(line.size(), 255u);

    profile_case too_long;
    too_long.set(exename, std::string(256 - rest, 'x'));
    line = too_long.line(launch_mode::standard, &fits);
    EXPECT_FALSE(fits);
    EXPECT_EQ(line.size(), 255u);

    profile_case everything_full;
    for (int id = 0; id < setting_count; ++id) {
        everything_full.set(static_cast<setting_id>(id), std::string(254, 'v'));
    }
    line = everything_full.line(launch_mode::custom, &fits);
    EXPECT_FALSE(fits);
    EXPECT_EQ(line.size(), 255u);
}

TEST(Summary, StandardModeByteForByte)
{
    EXPECT_EQ(profile_case().summary(launch_mode::standard),
              "             - Exe:           deusex.exe\n"
              "             - Log:           server.log\n"
              "             - bMTL:          False    \n"
              "             - Game type:     DeathMatchGame\n"
              "             - Max. players:  10\n"
              "             - Startmap:      DXMP_Area51_Bunker\n");
}

TEST(Summary, MtlModeHasTheTrueLineAndTheMutators)
{
    EXPECT_EQ(profile_case().set(game_mutators, "A.B,C.D").summary(launch_mode::mtl),
              "             - Exe:           deusex.exe\n"
              "             - Log:           server.log\n"
              "             - bMTL:          True\n"
              "             - Game type:     MTLDeathmatch\n"
              "             - Max. players:  10\n"
              "             - Startmap:      DXMP_Area51_Bunker\n"
              "             - Mutators:      A.B,C.D\n");
}

TEST(Summary, CustomModeHasThePackageAndNoMutators)
{
    EXPECT_EQ(profile_case().set(game_mutators_custom, "X.Y").summary(launch_mode::custom),
              "             - Exe:           deusex.exe\n"
              "             - Log:           server.log\n"
              "             - Game package:  UnrealI\n"
              "             - Game type:     DeathMatchGame\n"
              "             - Max. players:  10\n"
              "             - Startmap:      DXMP_Area51_Bunker\n");
}

TEST(SettingNumbers, MinUptimeIsSecondsUpTo86400AndTenOtherwise)
{
    struct {
        const char* text;
        bool valid;
        unsigned seconds;
    } const cases[] = {
        {"10", true, 10},        {"0", true, 0},          {"1", true, 1},
        {"007", true, 7},        {"86400", true, 86400},  {"86401", false, 10},
        {"", false, 10},         {"ten", false, 10},      {"-1", false, 10},
        {"+5", false, 10},       {"5s", false, 10},       {"1.5", false, 10},
        {"5 0", false, 10},      {"99999999999999999999", false, 10},
        {"000000000000000000086400", true, 86400},
    };
    for (const auto& entry : cases) {
        unsigned seconds = 12345;
        EXPECT_EQ(read_uptime_seconds(entry.text, seconds), entry.valid) << entry.text;
        EXPECT_EQ(seconds, entry.seconds) << entry.text;
    }
}

TEST(SettingNumbers, BackupDaysAreDigitsAndZeroOtherwise)
{
    struct {
        const char* text;
        bool valid;
        unsigned days;
    } const cases[] = {
        {"0", true, 0},
        {"1", true, 1},
        {"30", true, 30},
        {"0030", true, 30},
        {"1000000", true, longest_retention_days},
        {"1000001", true, longest_retention_days},
        {"99999999999999999999999999", true, longest_retention_days},
        {"", false, 0},
        {"thirty", false, 0},
        {"-1", false, 0},
        {"30d", false, 0},
        {" 30", false, 0},
    };
    for (const auto& entry : cases) {
        unsigned days = 12345;
        EXPECT_EQ(read_retention_days(entry.text, days), entry.valid) << entry.text;
        EXPECT_EQ(days, entry.days) << entry.text;
    }
}

TEST(SettingNumbers, DefaultsAreTenSecondsAndEveryBackupKept)
{
    setting_value values[setting_count];
    default_settings(values);
    unsigned seconds = 0;
    unsigned days = 1;
    EXPECT_TRUE(read_uptime_seconds(values[min_uptime], seconds));
    EXPECT_TRUE(read_retention_days(values[logfile_backups_days], days));
    EXPECT_EQ(seconds, 10u);
    EXPECT_EQ(days, 0u);

    unsigned port = 1;
    unsigned long address = 0;
    unsigned hang = 0;
    unsigned stop = 0;
    restart_list times = {};
    EXPECT_TRUE(read_query_port(values[query_port], port));
    EXPECT_TRUE(read_ipv4_address(values[query_host], address));
    EXPECT_TRUE(read_hang_timeout(values[hang_timeout], hang));
    EXPECT_TRUE(read_stop_timeout(values[stop_timeout], stop));
    EXPECT_TRUE(read_restart_times(values[restart_at], times));
    unsigned quiet = 1;
    EXPECT_TRUE(read_restart_when_empty(values[restart_when_empty], quiet));
    EXPECT_EQ(quiet, 0u);
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(address, 0x7F000001UL);
    EXPECT_EQ(hang, 60u);
    EXPECT_EQ(stop, 10u);
    EXPECT_EQ(times.count, 0u);
    EXPECT_STREQ(values[on_event], "");
}

// Each watchdog setting: the texts it takes, and the default that replaces
// any other.
TEST(SettingNumbers, WatchdogValuesAreBoundedDigitsAndTheirDefaultsOtherwise)
{
    struct {
        bool (*read)(const char*, unsigned&);
        const char* text;
        bool valid;
        unsigned value;
    } const cases[] = {
        {read_query_port, "", true, 0},         {read_query_port, "0", true, 0},
        {read_query_port, "7791", true, 7791},  {read_query_port, "65535", true, 65535},
        {read_query_port, "65536", false, 0},   {read_query_port, "-1", false, 0},
        {read_query_port, "port", false, 0},    {read_query_port, "7791 ", false, 0},
        {read_query_port, "99999999999999999999", false, 0},
        {read_hang_timeout, "1", true, 1},      {read_hang_timeout, "86400", true, 86400},
        {read_hang_timeout, "0", false, 60},    {read_hang_timeout, "86401", false, 60},
        {read_hang_timeout, "", false, 60},     {read_hang_timeout, "1m", false, 60},
        {read_stop_timeout, "0", true, 0},      {read_stop_timeout, "600", true, 600},
        {read_stop_timeout, "601", false, 10},  {read_stop_timeout, "", false, 10},
        {read_stop_timeout, "2.5", false, 10},
        {read_restart_when_empty, "0", true, 0}, {read_restart_when_empty, "1440", true, 1440},
        {read_restart_when_empty, "1441", false, 0}, {read_restart_when_empty, "", false, 0},
        {read_restart_when_empty, "10m", false, 0},
    };
    for (const auto& entry : cases) {
        unsigned value = 12345;
        EXPECT_EQ(entry.read(entry.text, value), entry.valid) << entry.text;
        EXPECT_EQ(value, entry.value) << entry.text;
    }
}

TEST(SettingNumbers, QueryHostIsADottedIpv4AddressAndLoopbackOtherwise)
{
    struct {
        const char* text;
        bool valid;
        unsigned long address;
    } const cases[] = {
        {"127.0.0.1", true, 0x7F000001UL},  {"192.168.1.20", true, 0xC0A80114UL},
        {"0.0.0.0", true, 0},               {"255.255.255.255", true, 0xFFFFFFFFUL},
        {"010.1.1.1", true, 0x0A010101UL},  {"256.1.1.1", false, 0x7F000001UL},
        {"1.2.3", false, 0x7F000001UL},     {"1.2.3.4.5", false, 0x7F000001UL},
        {"1..2.3", false, 0x7F000001UL},    {"localhost", false, 0x7F000001UL},
        {"", false, 0x7F000001UL},          {"1.2.3.4 ", false, 0x7F000001UL},
        {"0001.2.3.4", false, 0x7F000001UL}, {"1.2.3.-4", false, 0x7F000001UL},
    };
    for (const auto& entry : cases) {
        unsigned long address = 1;
        EXPECT_EQ(read_ipv4_address(entry.text, address), entry.valid) << entry.text;
        EXPECT_EQ(address, entry.address) << entry.text;
    }
}

TEST(SettingNumbers, RestartTimesAreAListOfClockTimesOrNone)
{
    struct {
        const char* text;
        bool valid;
        std::vector<unsigned> seconds;
        std::vector<std::string> written;
    } const cases[] = {
        {"", true, {}, {}},
        {"   ", true, {}, {}},
        {"05:30", true, {19800}, {"05:30"}},
        {"05:30:15, 17:00 ,23:59:59", true, {19815, 61200, 86399}, {"05:30:15", "17:00", "23:59:59"}},
        {"\t00:00\t", true, {0}, {"00:00"}},
        {"5:30", false, {}, {}},
        {"24:00", false, {}, {}},
        {"05:60", false, {}, {}},
        {"05:30:60", false, {}, {}},
        {"05:30,", false, {}, {}},
        {",05:30", false, {}, {}},
        {"05:30;06:00", false, {}, {}},
        {"05:30 06:00", false, {}, {}},
        {"05.30", false, {}, {}},
        {"05:30pm", false, {}, {}},
        {"05:30:", false, {}, {}},
    };
    for (const auto& entry : cases) {
        restart_list list = {};
        list.count = 99;
        EXPECT_EQ(read_restart_times(entry.text, list), entry.valid) << entry.text;
        ASSERT_EQ(list.count, entry.seconds.size()) << entry.text;
        for (unsigned i = 0; i < list.count; ++i) {
            EXPECT_EQ(list.seconds[i], entry.seconds[i]) << entry.text;
            EXPECT_EQ(list.written[i], entry.written[i]) << entry.text;
        }
    }
    // At most 24 times.
    std::string times = "00:00";
    for (int i = 1; i < 24; ++i) {
        times += ",01:00";
    }
    restart_list list = {};
    EXPECT_TRUE(read_restart_times(times.c_str(), list));
    EXPECT_EQ(list.count, 24u);
    EXPECT_FALSE(read_restart_times((times + ",02:00").c_str(), list));
    EXPECT_EQ(list.count, 0u);
}
