// The supervision cycle end to end: the real molv against the stand-in
// server, in a directory of its own, stopped by its process id at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "e2e_fixture.h"
#include "launch_modes.h"

namespace {


struct backup_file {
    std::string name;
    std::string stamp; // the name without suffix
    long suffix;       // 1 without one
};

// The dated backups among the files of `directory`, leaving out `older`.
std::vector<backup_file> backups_in(const std::string& directory,
                                    const std::set<std::string>& older = {})
{
    static const std::regex dated(
        R"(([0-9]{1,2}\.[0-9]{1,2}\.[0-9]{4}__[0-9]{2}_[0-9]{2}_[0-9]{2})(-([0-9]+))?\.log)");
    std::vector<backup_file> backups;
    for (const std::string& name : file_names(directory)) {
        std::smatch parts;
        if (older.count(name) == 0 && std::regex_match(name, parts, dated)) {
            long suffix = parts[3].matched ? std::strtol(parts[3].str().c_str(), nullptr, 10) : 1;
            backups.push_back({name, parts[1].str(), suffix});
        }
    }
    return backups;
}

// The instance number written into a stand-in log, or -1.
long instance_of_log(const std::string& content)
{
    std::size_t at = content.find("\ninstance ");
    return at == std::string::npos ? -1 : std::strtol(content.c_str() + at + 10, nullptr, 10);
}

class cycle : public molv_test {
protected:
    // Checks that the backups in `directory` are exactly one per instance
    // 1 to `ends`, each equal byte for byte to the log that instance wrote,
    // and that within one second the suffixes follow the order of the ends.
    void expect_one_backup_per_instance(const std::string& directory, long ends,
                                        const std::set<std::string>& older = {})
    {
        std::vector<backup_file> backups = backups_in(directory, older);
        EXPECT_EQ(backups.size(), static_cast<std::size_t>(ends));
        std::set<long> instances;
        std::map<std::string, std::map<long, long>> by_second; // stamp -> suffix -> instance
        for (const backup_file& backup : backups) {
            const std::string content = read_file(directory + "/" + backup.name);
            const long instance = instance_of_log(content);
            ASSERT_GE(instance, 1) << backup.name;
            EXPECT_EQ(content, read_file(records + "/log-" + std::to_string(instance) + ".txt"))
                << backup.name;
            EXPECT_TRUE(instances.insert(instance).second) << "second backup of " << instance;
            by_second[backup.stamp][backup.suffix] = instance;
        }
        EXPECT_EQ(instances.size(), static_cast<std::size_t>(ends));
        if (!instances.empty()) {
            EXPECT_EQ(*instances.begin(), 1);
            EXPECT_EQ(*instances.rbegin(), ends);
        }
        for (const auto& second : by_second) {
            long previous = 0;
            // Without older backups every second starts at the plain name.
            long expected_suffix = older.empty() ? 1 : second.second.begin()->first;
            for (const auto& taken : second.second) {
                EXPECT_EQ(taken.first, expected_suffix++) << second.first;
                EXPECT_GT(taken.second, previous) << second.first;
                previous = taken.second;
            }
        }
    }

    // Seeds the current directory with old and recent backups, files and a
    // folder that only look like backups, and a server log named like an
    // old backup (by its name alone or by its full path), then checks that
    // exactly the old backups go and molv says how many.
    void expect_only_old_backups_removed(bool log_by_full_path)
    {
        // Backups from an earlier run, and files that only look like them.
        const long long day = 24 * 60 * 60;
        struct seeded {
            const char* name;
            long long age;
            bool removed;
        } const seeds[] = {
            {"1.2.2025__10_00_00.log", 30 * day, true},
            {"1.2.2025__10_00_00-2.log", 3 * day, true},
            {"28.2.2026__23_59_59-17.log", 2 * day + 3600, true},
            {"5.3.2026__08_00_00.log", 2 * day - 3600, false},
            {"6.3.2026__08_00_00.log", 0, false},
            {"01.2.2025__10_00_00.log", 30 * day, false},
            {"1.2.25__10_00_00.log", 30 * day, false},
            {"1.2.2025__10_00_00.log.bak", 30 * day, false},
            {"x1.2.2025__10_00_00.log", 30 * day, false},
            {"1.2.2025__10_00_00-.log", 30 * day, false},
            {"1.2.2025__10_00_00.txt", 30 * day, false},
            {"old.log", 30 * day, false},
        };
        // The server's log has the form of an old backup here, yet is never
        // one; the stand-in leaves it as it is.
        const std::string logfile = "2.2.2025__10_00_00.log";
        write_immediate_settings("[GENERAL]\nlogfile=" + (log_by_full_path ? work + "/" : "") +
                                 logfile + "\nlogfile_backups_days=2\n");
        ASSERT_TRUE(write_file(work + "/" + logfile, "the server's log"));
        ASSERT_TRUE(set_modified_ago(work + "/" + logfile, 30 * day));
        std::set<std::string> kept = {"deusex.exe", "molv.ini", "molv.lock", logfile};
        for (const seeded& seed : seeds) {
            ASSERT_TRUE(write_file(work + "/" + seed.name, seed.name));
            ASSERT_TRUE(set_modified_ago(work + "/" + seed.name, seed.age)) << seed.name;
            if (!seed.removed) {
                kept.insert(seed.name);
            }
        }
        const std::string folder = work + "/3.2.2025__10_00_00.log";
        ASSERT_TRUE(make_directory(folder));
        ASSERT_TRUE(write_file(folder + "/4.2.2025__10_00_00.log", "inside"));
        ASSERT_TRUE(set_modified_ago(folder + "/4.2.2025__10_00_00.log", 30 * day));
        ASSERT_TRUE(set_modified_ago(folder, 30 * day));

        ASSERT_TRUE(install_server(work, "deusex.exe"));
        start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=2,3", "MOLV_STANDIN_LOG=0"});
        ASSERT_TRUE(wait_for_instance(2));
        // While instance 2 runs, one more old backup turns up.
        ASSERT_TRUE(write_file(work + "/9.9.2025__09_09_09.log", "late"));
        ASSERT_TRUE(set_modified_ago(work + "/9.9.2025__09_09_09.log", 10 * day));
        stop_server(server_records()[1].number("pid"), work);
        ASSERT_TRUE(wait_for_instance(3));

        // A copy that carries the old log's time along (as on Windows) is old
        // at once, and goes in the same pass as the others; a copy with the
        // time of the copy stays.
        std::vector<std::string> made;
        for (const backup_file& backup : backups_in(work)) {
            if (kept.count(backup.name) == 0) {
                made.push_back(backup.name);
            }
        }
        ASSERT_TRUE(made.size() == 0 || made.size() == 2) << made.size();
        const bool copies_removed = made.empty();
        const std::string first = copies_removed ? "  > Removed 4 old log backups."
                                                 : "  > Removed 3 old log backups.";
        const std::string second = copies_removed ? "  > Removed 2 old log backups."
                                                  : "  > Removed 1 old log backup.";
        EXPECT_EQ(cycle_messages(output()), expected_cycle({{backing_up, first}, {backing_up, second}}));
        for (const std::string& name : made) {
            EXPECT_EQ(read_file(work + "/" + name), "the server's log") << name;
            kept.insert(name);
        }
        const std::vector<std::string> left = file_names(work);
        EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), kept);
        EXPECT_EQ(read_file(work + "/" + logfile), "the server's log");
        EXPECT_EQ(file_names(folder), std::vector<std::string>{"4.2.2025__10_00_00.log"});
    }
};

class cycle_in_mode : public cycle, public testing::WithParamInterface<launch_case> {};

constexpr char scheduled_stop[] = "  > Scheduled restart: stopping the gameserver...";

// The wall clock `seconds` from now, as "HH:MM:SS" in local time.
std::string local_clock_in(long seconds)
{
    const std::time_t at = std::time(nullptr) + seconds;
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&at));
    return text;
}

// The cycle with a watched server: a stand-in that answers status queries
// on a port of its own, and the on_event program, a copy of the stand-in
// that records each event it is given.
class watched_cycle : public cycle {
protected:
    unsigned port = 0;

    void SetUp() override
    {
        cycle::SetUp();
        port = free_udp_port();
        ASSERT_NE(port, 0u);
    }

    std::string query_settings(unsigned hang_timeout, unsigned stop_timeout) const
    {
        return "query_port=" + std::to_string(port) + "\nhang_timeout=" +
               std::to_string(hang_timeout) + "\nstop_timeout=" + std::to_string(stop_timeout) +
               "\n";
    }

    std::vector<std::string> stand_in_answering(const std::string& manner,
                                                const std::string& stop_manner = "honour") const
    {
        return {"MOLV_STANDIN_QUERY_PORT=" + std::to_string(port), "MOLV_STANDIN_QUERY=" + manner,
                "MOLV_STANDIN_STOP=" + stop_manner, "MOLV_STANDIN_HOLD=1,2"};
    }

    // The lines of a stop after `reason`: the force line when the server
    // ignores the polite request or has no window to receive it (Wine
    // without a display), then the end.
    std::vector<std::string> stop_lines(const std::string& reason, bool ignores,
                                        const standin_record& stopped_instance,
                                        unsigned stop_timeout) const
    {
        std::vector<std::string> lines = {reason};
        if (ignores || stopped_instance.get("window") == "0") {
            lines.push_back("  WARNING: Gameserver did not stop within " +
                            std::to_string(stop_timeout) +
                            (stop_timeout == 1 ? " second" : " seconds") +
                            "; ending it by force.");
        }
        lines.push_back(stopped);
        return lines;
    }

    std::size_t queries_seen(long instance) const
    {
        return text_lines(read_file(records + "/queries-" + std::to_string(instance) + ".txt")).size();
    }

    // The events recorded so far, as "event detail".
    std::vector<std::string> events() const
    {
        std::vector<std::string> seen;
        for (const std::string& line : text_lines(read_file(records + "/events.txt"))) {
            std::string event;
            std::string detail;
            for (const std::string& field : {std::string("event="), std::string("detail=")}) {
                const std::size_t at = line.find(field);
                const std::size_t end = at == std::string::npos ? at : line.find('\t', at);
                const std::string value =
                    at == std::string::npos
                        ? ""
                        : line.substr(at + field.size(),
                                      end == std::string::npos ? end : end - at - field.size());
                (field == "event=" ? event : detail) = value;
            }
            seen.push_back(event + " " + detail);
        }
        return seen;
    }

    // Runs until the first stop of instance 1 and the start of instance 2,
    // and checks what the operator saw and that the two never ran at once.
    void expect_stopped_and_restarted(const std::vector<std::string>& stop,
                                      const std::vector<std::string>& before_stop = {})
    {
        ASSERT_TRUE(wait_for_instance(2));
        std::vector<std::string> expected = {starting, running};
        expected.insert(expected.end(), before_stop.begin(), before_stop.end());
        expected.insert(expected.end(), stop.begin(), stop.end());
        expected.insert(expected.end(), {backing_up, restarting, running});
        EXPECT_EQ(cycle_messages(output()), expected);
        EXPECT_EQ(server_records().at(1).get("previous_alive"), "0");
        expect_one_backup_per_instance(work, 1);
    }
};

} // namespace

TEST_P(cycle_in_mode, ServerGetsTheComposedCommandLineAtEveryLaunch)
{
    const launch_case& mode = GetParam();
    write_immediate_settings(mode.settings);
    ASSERT_TRUE(install_server(work, mode.exename));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=3"});
    ASSERT_TRUE(wait_for_instance(3));

    // Instance 3 runs on, so molv waits and its output is complete.
    std::string expected = expected_start(true, mode);
    for (const std::string& message : expected_cycle(2, {backing_up})) {
        expected += "[HH:MM:SS] " + message + "\n";
    }
    EXPECT_EQ(mask_stamps(output()), expected);

    const std::string command_line = mode.command_line;
    const std::vector<std::string> arguments =
        expected_server_arguments(mode.exename, command_line);
    for (const standin_record& record : server_records()) {
        EXPECT_EQ(record.get("line"), command_line);
        // On POSIX the program name is the executable as a whole, blanks
        // and all, and the rest of the line follows as words; on Windows
        // the server's runtime splits the one line it received.
        EXPECT_EQ(record.get("argc"), std::to_string(arguments.size()));
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            EXPECT_EQ(record.get("arg" + std::to_string(i)), arguments[i]) << "argument " << i;
        }
    }
    EXPECT_EQ(server_records().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(, cycle_in_mode, testing::ValuesIn(launch_cases),
                         mode_name);

TEST_F(cycle, EveryEndedInstanceLeavesOneBackupOfItsOwnLog)
{
    // Twenty servers that end at once: many ends fall within one second.
    // With min_uptime=0 each is restarted at once, without a pause line.
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=21"});
    ASSERT_TRUE(wait_for_instance(21));

    EXPECT_EQ(cycle_messages(output()), expected_cycle(20, {backing_up}));
    expect_one_backup_per_instance(work, 20);
}

TEST_F(cycle, BackupsFromAnEarlierRunAreNeverReplaced)
{
    // An earlier run left backups under the plain name and the first suffix
    // of every second of the next two minutes.
    std::set<std::string> older;
    const std::time_t now = std::time(nullptr);
    for (std::time_t second = now - 1; second < now + 120; ++second) {
        const std::tm local = *std::localtime(&second);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%d.%d.%d__%02d_%02d_%02d", local.tm_mday,
                      local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min,
                      local.tm_sec);
        for (const char* suffix : {"", "-2"}) {
            const std::string name = std::string(stamp) + suffix + ".log";
            ASSERT_TRUE(write_file(work + "/" + name, "older backup " + name));
            older.insert(name);
        }
    }
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=6"});
    ASSERT_TRUE(wait_for_instance(6));

    EXPECT_EQ(cycle_messages(output()), expected_cycle(5, {backing_up}));
    for (const std::string& name : older) {
        EXPECT_EQ(read_file(work + "/" + name), "older backup " + name);
    }
    std::vector<backup_file> backups = backups_in(work, older);
    for (const backup_file& backup : backups) {
        EXPECT_GE(backup.suffix, 3) << backup.name;
    }
    expect_one_backup_per_instance(work, 5, older);
}

TEST_F(cycle, BackupsOffRestartsRightAfterTheEnd)
{
    write_immediate_settings("[GENERAL]\nlogfile_backups=0\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=4"});
    ASSERT_TRUE(wait_for_instance(4));

    EXPECT_EQ(cycle_messages(output()), expected_cycle(3, {}));
    EXPECT_EQ(file_names(work),
              (std::vector<std::string>{"deusex.exe", "molv.ini", "molv.lock", "server.log"}));
    // No instance ran before molv.lock named it.
    for (const standin_record& record : server_records()) {
        EXPECT_EQ(record.get("recorded"), "1") << record.get("instance");
    }
}

TEST_F(cycle, MissingLogIsReportedAndTheCycleGoesOn)
{
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=3", "MOLV_STANDIN_LOG=0"});
    ASSERT_TRUE(wait_for_instance(3));

    EXPECT_EQ(cycle_messages(output()), expected_cycle(2, {log_missing}));
    EXPECT_EQ(file_names(work), (std::vector<std::string>{"deusex.exe", "molv.ini", "molv.lock"}));
}

TEST_F(cycle, LogInASubfolderIsBackedUpIntoTheCurrentDirectory)
{
    ASSERT_TRUE(make_directory(work + "/logs"));
    write_immediate_settings("[GENERAL]\nlogfile=logs/server.log\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=3"});
    ASSERT_TRUE(wait_for_instance(3));

    EXPECT_EQ(cycle_messages(output()), expected_cycle(2, {backing_up}));
    expect_one_backup_per_instance(work, 2);
    EXPECT_EQ(file_names(work + "/logs"), std::vector<std::string>{"server.log"});
}

TEST_F(cycle, FailureStatusSignalAndAbortAreRestartedAlike)
{
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=4", "MOLV_STANDIN_END=exit,signal,abort",
           "MOLV_STANDIN_EXIT=3"});
    ASSERT_TRUE(wait_for_instance(4));

    EXPECT_EQ(cycle_messages(output()), expected_cycle(3, {backing_up}));
    expect_one_backup_per_instance(work, 3);
}

TEST_F(cycle, VanishedExecutableIsRetriedWithGrowingPauses)
{
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));

    std::error_code error;
    std::filesystem::rename(work + "/deusex.exe", work + "/moved.bin", error);
    ASSERT_FALSE(error) << error.message();
    stop_server(server_records()[0].number("pid"), work);
    ASSERT_TRUE(wait_for_message("  > Retrying in 4 seconds..."));
    EXPECT_FALSE(wait_for_end(molv, 0)) << "molv ended";

    // An empty entry stands for the failed launch, whose reason is the
    // system's own text.
    const std::vector<std::string> messages = cycle_messages(output());
    const std::vector<std::string> expected = {starting,
                                               running,
                                               ended,
                                               backing_up,
                                               restarting,
                                               "",
                                               "  > Retrying in 1 second...",
                                               restarting,
                                               "",
                                               "  > Retrying in 2 seconds...",
                                               restarting,
                                               "",
                                               "  > Retrying in 4 seconds..."};
    ASSERT_GE(messages.size(), expected.size());
    const std::string failure = "  WARNING: Could not start the gameserver: ";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i].empty()) {
            EXPECT_EQ(messages[i].compare(0, failure.size(), failure), 0) << messages[i];
            EXPECT_GT(messages[i].size(), failure.size()) << messages[i];
        } else {
            EXPECT_EQ(messages[i], expected[i]) << "message " << i;
        }
    }
    EXPECT_EQ(server_records().size(), 1u);
}

TEST_F(cycle, ServerThatEndsAtOnceIsPacedOneTwoFourSecondsByDefault)
{
    // No settings file: min_uptime is 10 seconds, and every instance ends
    // long before that.
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    const auto began = std::chrono::steady_clock::now();
    start({"MOLV_STANDIN_RUN_MS=0"});
    ASSERT_TRUE(wait_for_message(retrying_in(8)));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    // Four launches with 1 + 2 + 4 seconds between them, and the fifth
    // no sooner than 8 seconds after the fourth.
    EXPECT_EQ(server_records().size(), 4u);
    EXPECT_GE(seconds, 6.5);
    std::vector<std::string> expected = {starting, running};
    for (unsigned delay : {1u, 2u, 4u}) {
        expected.insert(expected.end(),
                        {ended, backing_up, retrying_in(delay), restarting, running});
    }
    expected.insert(expected.end(), {ended, backing_up, retrying_in(8)});
    EXPECT_EQ(cycle_messages(output()), expected);
    expect_one_backup_per_instance(work, 4);
}

TEST_F(cycle, InstanceThatOutlivesMinUptimeRestartsAtOnceAndResetsThePause)
{
    // Instance 3 runs six seconds, longer than min_uptime; the others end
    // at once, and instance 5 runs on. An instance that ends at once can
    // still take a second or two from its launch to its end on a busy
    // machine (under Wine the start alone does), so min_uptime leaves it
    // room.
    write_settings("[GENERAL]\nmin_uptime=5\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0,0,6000,0", "MOLV_STANDIN_HOLD=5"});
    ASSERT_TRUE(wait_for_instance(5));

    EXPECT_EQ(cycle_messages(output()),
              expected_cycle({{backing_up, retrying_in(1)},
                              {backing_up, retrying_in(2)},
                              {backing_up},
                              {backing_up, retrying_in(1)}}));
    expect_one_backup_per_instance(work, 4);
}

TEST_F(cycle, OnlyBackupsOlderThanTheSetDaysAreRemoved)
{
    expect_only_old_backups_removed(false);
}

TEST_F(cycle, LogNamedByItsFullPathIsNeverRemovedEither)
{
    expect_only_old_backups_removed(true);
}

// The longest command line molv accepts reaches the server whole.
TEST_F(cycle, CommandLineOfExactly255CharactersReachesTheServerWhole)
{
    const std::string head = "deusex.exe ";
    const std::string tail = "?Game=DeusEx.DeathMatchGame?-server?log=server.log?MaxPlayers=10?";
    const std::string map(255 - head.size() - tail.size(), 'm');
    write_settings("[GAME]\ngame_startmap=" + map + "\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));

    const std::string line = head + map + tail;
    ASSERT_EQ(line.size(), 255u);
    const std::vector<std::string> arguments = expected_server_arguments("deusex.exe", line);
    const standin_record record = server_records().at(0);
    EXPECT_EQ(record.get("line"), line);
    EXPECT_EQ(record.get("argc"), std::to_string(arguments.size()));
    EXPECT_EQ(record.get("arg1"), arguments.at(1));
}

TEST_F(watched_cycle, ServerThatFallsSilentIsStoppedBackedUpAndRestartedAfterItsEnd)
{
    write_immediate_settings("[GENERAL]\n" + query_settings(2, 1));
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start(stand_in_answering("silent_after_2,answer"));
    ASSERT_TRUE(wait_for_instance(2));
    expect_stopped_and_restarted(
        stop_lines("  WARNING: Gameserver has not answered for 2 seconds! Stopping it...", false,
                   server_records().at(0), 1));
    EXPECT_GE(queries_seen(1), 3u);
}

TEST_F(watched_cycle, ServerThatIgnoresThePoliteStopIsEndedByForce)
{
    write_immediate_settings("[GENERAL]\n" + query_settings(2, 1));
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start(stand_in_answering("silent_after_1,answer", "ignore,honour"));
    ASSERT_TRUE(wait_for_instance(2));
    expect_stopped_and_restarted(
        stop_lines("  WARNING: Gameserver has not answered for 2 seconds! Stopping it...", true,
                   server_records().at(0), 1));
}

// Servers that answer late or only now and then, and one that never
// answered at all, are all left running.
TEST_F(watched_cycle, ServersThatAnswerSlowlyOrNeverAreNeverStopped)
{
    // Three servers at once: each instance of the stand-in answers on its
    // own port, so three molvs run side by side.
    struct watched {
        std::string manner;
        std::string folder;
        unsigned port;
        molv_process molv;
    };
    std::vector<watched> cases = {{"every_second", "", 0, {}},
                                  {"late_1500", "", 0, {}},
                                  {"never", "", 0, {}}};
    for (watched& entry : cases) {
        entry.folder = root + "/" + entry.manner;
        entry.port = free_udp_port();
        ASSERT_NE(entry.port, 0u);
        ASSERT_TRUE(make_directory(entry.folder));
        ASSERT_TRUE(make_directory(entry.folder + "/records"));
        ASSERT_TRUE(install_server(entry.folder, "deusex.exe"));
        ASSERT_TRUE(write_file(entry.folder + "/molv.ini",
                               "[GENERAL]\nquery_port=" + std::to_string(entry.port) +
                                   "\nhang_timeout=4\nstop_timeout=1\n"));
        molv_launch launch;
        launch.directory = entry.folder;
        launch.output_path = entry.folder + "/output.txt";
        launch.environment = {"MOLV_STANDIN_RECORD=" + entry.folder + "/records",
                              "MOLV_STANDIN_QUERY_PORT=" + std::to_string(entry.port),
                              "MOLV_STANDIN_QUERY=" + entry.manner, "MOLV_STANDIN_HOLD=1"};
        ASSERT_TRUE(start_molv(launch, entry.molv));
    }
    // A query a second: by the tenth, each would have been stopped twice over.
    for (watched& entry : cases) {
        const std::string queries = entry.folder + "/records/queries-1.txt";
        EXPECT_TRUE(wait_until([&] { return text_lines(read_file(queries)).size() >= 10; },
                               deadline_seconds))
            << entry.manner;
    }
    for (watched& entry : cases) {
        stop_molv(entry.molv);
        write_file(entry.folder + "/records/stop", "");
        for (const standin_record& record : read_records(entry.folder + "/records")) {
            stop_server(record.number("pid"), entry.folder);
        }
        EXPECT_EQ(cycle_messages(read_output(entry.folder + "/output.txt")),
                  std::vector<std::string>({starting, running}))
            << entry.manner;
        EXPECT_EQ(read_records(entry.folder + "/records").size(), 1u) << entry.manner;
    }
}

TEST_F(watched_cycle, ScheduledTimeStopsTheServerOnceAndRestartsItAtOnce)
{
    const std::string time = local_clock_in(8);
    write_settings("[GENERAL]\nrestart_at=03:00, " + time + "\nstop_timeout=1\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1,2,3"});
    ASSERT_TRUE(wait_for_instance(1));
    if (local_clock_in(2) >= time && time >= "00:00:10") {
        GTEST_SKIP() << "the server started too late for the restart at " << time;
    }
    expect_stopped_and_restarted(stop_lines(scheduled_stop, false, server_records().at(0), 1));
    // The time has passed for today: no second restart.
    const std::size_t lines = cycle_messages(output()).size();
    wait_until([] { return false; }, 3.0);
    EXPECT_EQ(cycle_messages(output()).size(), lines);
    EXPECT_EQ(server_records().size(), 2u);
}

TEST_F(watched_cycle, EventsReachTheEventProgramInOrder)
{
    // Instance 1 ends by itself after a moment, instance 2 is stopped at a
    // listed time (ignoring the polite request, so its stop takes a second)
    // and its restart fails, then instance 3 starts. Each event comes a
    // second or more after the one before, so that their programs record
    // them in order.
    const std::string time = local_clock_in(8);
    write_settings("[GENERAL]\nrestart_at=" + time + "\nstop_timeout=1\non_event=events.exe\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(install_server(work, "events.exe"));
    start({"MOLV_STANDIN_RUN_MS=300", "MOLV_STANDIN_HOLD=2,3", "MOLV_STANDIN_EXIT=3",
           "MOLV_STANDIN_STOP=ignore"});
    ASSERT_TRUE(wait_for_instance(2));
    if (local_clock_in(2) >= time && time >= "00:00:10") {
        GTEST_SKIP() << "the server started too late for the restart at " << time;
    }
    std::error_code error;
    std::filesystem::rename(work + "/deusex.exe", work + "/moved.bin", error);
    ASSERT_FALSE(error) << error.message();
    ASSERT_TRUE(wait_for_message("  > Retrying in 1 second...", 2));
    std::filesystem::rename(work + "/moved.bin", work + "/deusex.exe", error);
    ASSERT_FALSE(error) << error.message();
    ASSERT_TRUE(wait_for_instance(3));
    ASSERT_TRUE(wait_until([&] { return events().size() >= 6; }, deadline_seconds));

    const std::vector<standin_record> servers = server_records();
    std::vector<std::string> seen = events();
    ASSERT_EQ(seen.size(), 6u);
    const std::string failed = "launch_failed ";
    EXPECT_EQ(seen[4].compare(0, failed.size(), failed), 0) << seen[4];
    EXPECT_GT(seen[4].size(), failed.size() + 3) << seen[4];
    seen[4] = "launch_failed";
    EXPECT_EQ(seen, std::vector<std::string>({"started " + servers.at(0).get("pid"), "ended exit 3",
                                              "started " + servers.at(1).get("pid"),
                                              "scheduled " + time, "launch_failed",
                                              "started " + servers.at(2).get("pid")}));
}

TEST_F(watched_cycle, EventProgramsNeverDelayARestartAndAtMostFourRun)
{
    // The event programs run until the test ends; molv goes on without them.
    write_immediate_settings("[GENERAL]\non_event=events.exe\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(install_server(work, "events.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=3", "MOLV_STANDIN_EVENT_SLEEP_MS=600000"});
    ASSERT_TRUE(wait_for_instance(3));
    // started and ended of instances 1 and 2 fill the four places.
    ASSERT_TRUE(wait_for_message("  WARNING: The on_event program is still busy; event started "
                                 "not passed on."));
    ASSERT_TRUE(wait_until([&] { return events().size() >= 4; }, deadline_seconds));
    wait_until([] { return false; }, 1.0);
    // Started within moments of each other, the programs may record in any
    // order.
    std::vector<std::string> seen = events();
    std::sort(seen.begin(), seen.end());
    const std::vector<standin_record> servers = server_records();
    std::vector<std::string> expected = {"started " + servers.at(0).get("pid"), "ended exit 0",
                                         "started " + servers.at(1).get("pid"), "ended exit 0"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
    // No descriptor of molv's, and no input (where the system tells).
    for (const std::string& line : text_lines(read_file(records + "/events.txt"))) {
        EXPECT_EQ(line.find("input_null=0"), std::string::npos) << line;
        const std::size_t at = line.find("\tdescriptors=");
        ASSERT_NE(at, std::string::npos) << line;
        const std::string descriptors = line.substr(at + 13, line.find('\t', at + 1) - at - 13);
        EXPECT_TRUE(descriptors == "0,1,2" || descriptors == "-") << line;
    }
}

TEST_F(watched_cycle, MissingEventProgramIsReportedAndTheCycleGoesOn)
{
    write_immediate_settings("[GENERAL]\non_event=no-such-program\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=2"});
    ASSERT_TRUE(wait_for_instance(2));
    // The second start's event comes after its line.
    ASSERT_TRUE(wait_until([&] { return cycle_messages(output()).size() >= 9; },
                           deadline_seconds));
    // Said once at start, and each event is tried all the same.
    EXPECT_EQ(count_message(output(),
                            "  WARNING: The on_event program was not found: no-such-program"),
              1u);
    const std::string warning = "  WARNING: Could not run the on_event program: ";
    std::vector<std::string> messages = cycle_messages(output());
    ASSERT_EQ(messages.size(), 9u);
    // The end's event is passed on once the next launch is made.
    for (std::size_t at : {2, 6, 8}) {
        EXPECT_EQ(messages[at].compare(0, warning.size(), warning), 0) << messages[at];
        EXPECT_GT(messages[at].size(), warning.size()) << messages[at];
        messages[at] = "";
    }
    EXPECT_EQ(messages, std::vector<std::string>({starting, running, "", ended, backing_up,
                                                  restarting, "", running, ""}));
}

namespace {

// What a command run beside molv (--status, --restart, --stop) printed and
// its exit status.
struct command_result {
    int status = -1;
    std::string output;
};

class asked_cycle : public watched_cycle {
protected:
    int commands = 0;

    command_result run_command(const std::string& option)
    {
        molv_launch launch = launch_in_work();
        launch.arguments = {option};
        launch.output_path = root + "/command-" + std::to_string(++commands) + ".txt";
        molv_process command;
        command_result result;
        if (start_molv(launch, command) && wait_for_end(command, deadline_seconds + 40)) {
            result.status = command.exited ? command.exit_code : -1;
        }
        stop_molv(command);
        result.output = read_output(launch.output_path);
        return result;
    }

    // The value of the series of `name` (with `label` beside the folder) in
    // the status file; "" without one.
    std::string status_value(const std::string& name, const std::string& label = "") const
    {
        for (const std::string& line : text_lines(read_file(work + "/molv.prom"))) {
            if (line.compare(0, name.size() + 1, name + "{") == 0 &&
                (label.empty() || line.find("," + label + "} ") != std::string::npos)) {
                return line.substr(line.rfind(' ') + 1);
            }
        }
        return "";
    }
};

const std::regex molv_line(
    R"(MOLV is running in this folder \(process [0-9]+\) since [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.)");

} // namespace

TEST_F(asked_cycle, StatusTellsWhetherMolvAndTheServerRunAndTheStatusOfInitScripts)
{
    command_result none = run_command("--status");
    EXPECT_EQ(none.status, 3);
    EXPECT_EQ(none.output, "MOLV is not running in this folder.\n");

    write_settings("[GENERAL]\nrestart_at=05:30\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));
    const command_result both = run_command("--status");
    EXPECT_EQ(both.status, 0) << both.output;
    const std::vector<std::string> lines = text_lines(both.output);
    ASSERT_EQ(lines.size(), 3u) << both.output;
    EXPECT_TRUE(std::regex_match(lines[0], molv_line)) << lines[0];
    EXPECT_NE(lines[0].find("(process " + std::to_string(molv.id) + ")"), std::string::npos);
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex("The gameserver is running \\(process " +
                             server_records().at(0).get("pid") +
                             "\\) since [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}; 1 launch\\.")))
        << lines[1];
    EXPECT_EQ(lines[2], "The next scheduled restart is at 05:30.");

    // Instance 2 and those after end at once: the pauses grow to 4 seconds.
    stop_server(server_records().at(0).number("pid"), work);
    ASSERT_TRUE(wait_for_message(retrying_in(4)));
    const command_result pause = run_command("--status");
    EXPECT_EQ(pause.status, 1) << pause.output;
    EXPECT_TRUE(std::regex_search(
        pause.output, std::regex("\nThe gameserver is not running; next start in [0-4] seconds?\\.\n"
                                 "[0-9]+ launches, last end: crashed at [0-9 :-]{19}\\.\n")))
        << pause.output;

    // A restart asked during a pause ends it.
    const std::size_t before = count_message(output(), restarting);
    const command_result restart = run_command("--restart");
    EXPECT_EQ(restart.status, 0);
    EXPECT_EQ(restart.output,
              "Asked MOLV (process " + std::to_string(molv.id) + ") to restart the gameserver.\n");
    ASSERT_TRUE(wait_for_message(restarting, before + 1));
    const std::vector<std::string> messages = cycle_messages(output());
    const auto asked = std::find(messages.begin(), messages.end(), "  > Restart asked.");
    ASSERT_NE(asked, messages.end());
    ASSERT_NE(asked + 1, messages.end());
    EXPECT_EQ(*(asked - 1), retrying_in(4));
    EXPECT_EQ(*(asked + 1), restarting);
}

class asked_restart : public asked_cycle, public testing::WithParamInterface<const char*> {};

TEST_P(asked_restart, StopsTheServerPolitelyOrByForceAndStartsItAgainAtOnce)
{
    const std::string manner = GetParam();
    write_settings("[GENERAL]\nstop_timeout=1\nstatus_file=molv.prom\non_event=events.exe\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(install_server(work, "events.exe"));
    start({"MOLV_STANDIN_HOLD=1,2", "MOLV_STANDIN_STOP=" + manner});
    ASSERT_TRUE(wait_for_instance(1));

    const command_result asked = run_command("--restart");
    EXPECT_EQ(asked.status, 0) << asked.output;
    ASSERT_TRUE(wait_for_instance(2));
    std::vector<std::string> expected = {starting, running};
    const std::vector<std::string> stop = stop_lines(
        "  > Restart asked: stopping the gameserver...", manner == "ignore", server_records().at(0), 1);
    expected.insert(expected.end(), stop.begin(), stop.end());
    expected.insert(expected.end(), {backing_up, restarting, running});
    EXPECT_EQ(cycle_messages(output()), expected);
    expect_one_backup_per_instance(work, 1);
    ASSERT_TRUE(wait_until([&] { return events().size() >= 3; }, deadline_seconds));
    std::vector<std::string> seen = events();
    std::vector<std::string> expected_events = {"asked restart",
                                                "started " + server_records().at(0).get("pid"),
                                                "started " + server_records().at(1).get("pid")};
    std::sort(seen.begin(), seen.end());
    std::sort(expected_events.begin(), expected_events.end());
    EXPECT_EQ(seen, expected_events);
    // An end asked for: no crash counted.
    ASSERT_TRUE(wait_until([&] { return status_value("molv_server_launches_total") == "2"; },
                           deadline_seconds));
    EXPECT_EQ(status_value("molv_server_ends_total", "cause=\"asked\""), "1");
    EXPECT_EQ(status_value("molv_server_ends_total", "cause=\"crashed\""), "0");
}

INSTANTIATE_TEST_SUITE_P(, asked_restart, testing::Values("honour", "ignore"));

TEST_F(asked_cycle, StopAskedEndsTheServerAndMolvWhichSaysSoLast)
{
    command_result nobody = run_command("--stop");
    EXPECT_EQ(nobody.status, 3);
    EXPECT_EQ(nobody.output, "MOLV is not running in this folder.\n");
    nobody = run_command("--restart");
    EXPECT_EQ(nobody.status, 3);
    EXPECT_EQ(nobody.output, "MOLV is not running in this folder.\n");

    write_settings("[GENERAL]\nstop_timeout=5\nstatus_file=molv.prom\non_event=events.exe\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(install_server(work, "events.exe"));
    // The event program of the stop takes a while: molv waits for it.
    start({"MOLV_STANDIN_HOLD=1", "MOLV_STANDIN_EVENT_SLEEP_MS=1500"});
    ASSERT_TRUE(wait_for_instance(1));
    const command_result stop = run_command("--stop");
    EXPECT_EQ(stop.status, 0) << stop.output;
    EXPECT_EQ(text_lines(stop.output).back(), "MOLV has ended.");
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_TRUE(molv.exited);
    EXPECT_EQ(molv.exit_code, 0);
    std::vector<std::string> expected = {starting, running};
    const std::vector<std::string> lines =
        stop_lines("  > Stop asked: stopping the gameserver...", false, server_records().at(0), 5);
    expected.insert(expected.end(), lines.begin(), lines.end());
    expected.push_back(backing_up);
    EXPECT_EQ(cycle_messages(output()), expected);
    expect_one_backup_per_instance(work, 1);
    EXPECT_EQ(events(), std::vector<std::string>(
                            {"started " + server_records().at(0).get("pid"), "asked stop"}));
    EXPECT_EQ(status_value("molv_up"), "0");
    EXPECT_EQ(status_value("molv_server_up"), "0");
    const command_result after = run_command("--status");
    EXPECT_EQ(after.status, 3);
    EXPECT_EQ(after.output, "MOLV is not running in this folder.\n");
}

namespace {

// A scheduled restart that waits for the players to leave: the counts the
// stand-in answers with, one answer a second, and what comes of them.
struct quiet_case {
    const char* name;
    const char* counts;
    const char* waiting;       // the line of the wait
    unsigned long long min_ms; // how long the wait lasts at least
};

const quiet_case quiet_cases[] = {
    {"players_leave", "2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,0",
     "  > Scheduled restart: waiting up to 1 minute for 2 players to leave...", 1000},
    {"players_stay", "1",
     "  > Scheduled restart: waiting up to 1 minute for 1 player to leave...", 59000},
};

class quiet_restart : public watched_cycle, public testing::WithParamInterface<quiet_case> {};

} // namespace

TEST_P(quiet_restart, WaitsForTheLastPlayerOrTheLimit)
{
    const quiet_case& quiet = GetParam();
    const std::string time = local_clock_in(8);
    write_settings("[GENERAL]\nrestart_at=" + time + "\nrestart_when_empty=1\n" +
                   query_settings(4, 1));
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    std::vector<std::string> environment = stand_in_answering("answer");
    environment.push_back(std::string("MOLV_STANDIN_PLAYERS=") + quiet.counts);
    start(environment);
    ASSERT_TRUE(wait_for_instance(1));
    if (local_clock_in(2) >= time && time >= "00:00:10") {
        GTEST_SKIP() << "the server started too late for the restart at " << time;
    }
    ASSERT_TRUE(wait_for_message(quiet.waiting));
    const auto waited_from = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_for_message("  > Scheduled restart: stopping the gameserver..."));
    const auto waited = std::chrono::steady_clock::now() - waited_from;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(),
              static_cast<long long>(quiet.min_ms));
    ASSERT_TRUE(wait_for_instance(2));
    std::vector<std::string> expected = {starting, running, quiet.waiting};
    const std::vector<std::string> stop = stop_lines(
        "  > Scheduled restart: stopping the gameserver...", false, server_records().at(0), 1);
    expected.insert(expected.end(), stop.begin(), stop.end());
    expected.insert(expected.end(), {backing_up, restarting, running});
    EXPECT_EQ(cycle_messages(output()), expected);
}

INSTANTIATE_TEST_SUITE_P(, quiet_restart, testing::ValuesIn(quiet_cases),
                         [](const testing::TestParamInfo<quiet_case>& param) {
                             return std::string(param.param.name);
                         });
