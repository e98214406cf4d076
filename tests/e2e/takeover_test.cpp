// A molv started again after the one before was killed at any moment: at
// most one server runs, the log of every server is backed up exactly once
// (or is still the current one), what an ended server left is stopped, and
// nothing of the running molv's is touched by one that is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "e2e_fixture.h"

namespace {

constexpr char found_prefix[] = "  > Found the gameserver still running (process ";

// Whether a process runs in `directory`: there, not ended, and working
// there (so that a reused process id is never taken for it).
bool runs_in(long id, const std::string& directory)
{
    const std::string stat = read_file("/proc/" + std::to_string(id) + "/stat");
    const std::size_t at = stat.rfind(") ");
    if (id <= 0 || at == std::string::npos || at + 2 >= stat.size() || stat[at + 2] == 'Z' ||
        stat[at + 2] == 'X') {
        return false;
    }
    char where[4096];
    const std::string link = "/proc/" + std::to_string(id) + "/cwd";
    const ssize_t length = readlink(link.c_str(), where, sizeof where - 1);
    return length > 0 && std::string(where, static_cast<std::size_t>(length)) == directory;
}

// The full path of strace, or "" where there is none.
std::string strace_program()
{
    for (const char* candidate : {"/usr/bin/strace", "/bin/strace", "/usr/local/bin/strace"}) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

// One system call of a trace: its name and how many calls of that name
// the process had made up to and with it.
struct traced_call {
    std::string name;
    unsigned ordinal;
};

// The calls of a strace output file, in order; signal and exit lines left out.
std::vector<traced_call> traced_calls(const std::string& path, std::vector<std::string>& lines)
{
    std::vector<traced_call> calls;
    std::map<std::string, unsigned> seen;
    std::ifstream trace(path);
    std::string line;
    while (std::getline(trace, line)) {
        const std::size_t open = line.find('(');
        if (line.empty() || line[0] == '-' || line[0] == '+' || open == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(0, open);
        calls.push_back({name, ++seen[name]});
        lines.push_back(line);
    }
    return calls;
}

// Ends a molv run under strace: molv first, as strace's end would leave it
// running, then strace.
void stop_traced(molv_process& tracer)
{
    if (!tracer.ended && tracer.id > 0) {
        const std::string children = read_file("/proc/" + std::to_string(tracer.id) + "/task/" +
                                               std::to_string(tracer.id) + "/children");
        const long traced = std::strtol(children.c_str(), nullptr, 10);
        if (traced > 0) {
            kill(static_cast<pid_t>(traced), SIGKILL);
        }
    }
    wait_for_end(tracer, 10);
    stop_molv(tracer);
}

class takeover : public molv_test {
protected:
    void SetUp() override
    {
        molv_test::SetUp();
        ASSERT_TRUE(install_server(work, "deusex.exe"));
    }

    // Starts the next molv in `work`, its output in a file of its own.
    void start_next(std::vector<std::string> environment = {})
    {
        stop_molv(other_molv);
        molv_launch launch = launch_in_work(std::move(environment));
        launch.output_path = second_output_path;
        ASSERT_TRUE(start_molv(launch, other_molv));
    }

    std::string next_output() const { return read_output(second_output_path); }

    // The instances of the server that run now.
    std::size_t servers_running() const
    {
        std::size_t count = 0;
        for (const standin_record& record : server_records()) {
            count += runs_in(record.number("pid"), work) ? 1 : 0;
        }
        return count;
    }

    // The log of every instance that ran is the current log or is held by
    // exactly one backup; `where` names the case in failures.
    void expect_every_log_once(const std::string& where) const
    {
        std::vector<std::string> backups;
        for (const std::string& name : dated_backups(work)) {
            backups.push_back(read_file(work + "/" + name));
        }
        const std::string current = read_file(work + "/server.log");
        const std::size_t instances = server_records().size();
        for (std::size_t instance = 1; instance <= instances; ++instance) {
            const std::string log = read_file(records + "/log-" + std::to_string(instance) + ".txt");
            if (log.empty()) {
                continue;
            }
            const long copies = std::count(backups.begin(), backups.end(), log);
            EXPECT_TRUE(copies == 1 || (copies == 0 && current == log))
                << where << ": the log of instance " << instance << " is in " << copies
                << " backups";
        }
    }

    // Stops every server of this folder and the molvs, and starts afresh
    // with an empty folder but for the server and the settings.
    void clear_folder(bool under_strace = false)
    {
        if (under_strace) {
            stop_traced(molv);
        }
        stop_molv(molv);
        stop_molv(other_molv);
        write_file(records + "/stop", "");
        for (const standin_record& record : server_records()) {
            stop_server(record.number("pid"), work);
        }
        const std::string settings = read_file(work + "/molv.ini");
        remove_tree(work);
        remove_tree(records);
        ASSERT_TRUE(make_directory(work));
        ASSERT_TRUE(make_directory(records));
        ASSERT_TRUE(install_server(work, "deusex.exe"));
        write_settings(settings);
    }
};

} // namespace

// molv is killed at each system call of its first launch, and at each one
// from the end of the first server through the backup of its log to the
// next launch; then a new molv is started. After each: one server runs, and
// the log of every server that ran is current or backed up exactly once.
TEST_F(takeover, KilledAtEveryStepOfALaunchOrABackupTheNextMolvLeavesOneServerAndEveryLogOnce)
{
    const std::string strace = strace_program();
    if (strace.empty()) {
        GTEST_SKIP() << "strace is not installed (Debian package strace)";
    }
    write_immediate_settings("[GENERAL]\nlogfile_backups=1\n");
    const std::vector<std::string> environment = {"MOLV_STANDIN_RUN_MS=200",
                                                  "MOLV_STANDIN_HOLD=2,3,4,5,6"};

    // The calls of a run that goes through both windows undisturbed.
    const std::string trace_path = root + "/trace.txt";
    molv_launch traced = launch_in_work(environment);
    traced.wrapper = {strace, "-o", trace_path};
    ASSERT_TRUE(start_molv(traced, molv));
    if (!wait_until([&] { return count_message(output(), running) >= 2 || wait_for_end(molv, 0); },
                    deadline_seconds) ||
        count_message(output(), running) < 2) {
        stop_traced(molv);
        GTEST_SKIP() << "strace cannot trace here: " << output();
    }
    stop_traced(molv);
    std::vector<std::string> lines;
    const std::vector<traced_call> calls = traced_calls(trace_path, lines);
    std::vector<std::size_t> writes_of_lines;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("write(1, ", 0) == 0) {
            writes_of_lines.push_back(i);
        }
    }
    // The windows: after "Starting gameserver..." up to "now running"; after
    // the end's warning up to the next "now running".
    auto line_with = [&](const std::string& text, std::size_t from) {
        for (std::size_t i : writes_of_lines) {
            if (i >= from && lines[i].find(text) != std::string::npos) {
                return i;
            }
        }
        return lines.size();
    };
    const std::size_t start_line = line_with("> Starting gameserv", 0);
    const std::size_t first_running = line_with("> Gameserver is now", start_line);
    const std::size_t end_line = line_with("WARNING: Server cra", first_running);
    const std::size_t second_running = line_with("> Gameserver is now", end_line);
    ASSERT_LT(second_running, lines.size()) << read_file(trace_path);
    std::vector<std::size_t> kill_points;
    for (std::size_t i = start_line + 1; i <= first_running; ++i) {
        kill_points.push_back(i);
    }
    for (std::size_t i = end_line + 1; i <= second_running; ++i) {
        kill_points.push_back(i);
    }

    std::size_t killed_by_injection = 0;
    for (std::size_t point : kill_points) {
        clear_folder(true);
        const std::string where = lines[point].substr(0, 60) + " (call " +
                                  std::to_string(point + 1) + ")";
        molv_launch killed = launch_in_work(environment);
        killed.wrapper = {strace,
                          "-o",
                          "/dev/null",
                          "-e",
                          "inject=" + calls[point].name + ":signal=SIGKILL:when=" +
                              std::to_string(calls[point].ordinal)};
        ASSERT_TRUE(start_molv(killed, molv));
        // Where this run did not take the same road, molv is killed here
        // once it has gone past the window.
        if (!wait_for_end(molv, 3)) {
            stop_traced(molv);
        } else {
            ++killed_by_injection;
        }
        start_next(environment);
        ASSERT_TRUE(wait_until(
            [&] {
                const std::string text = next_output();
                return count_message(text, running) >= 1 ||
                       text.find(found_prefix) != std::string::npos;
            },
            deadline_seconds))
            << where << "\n" << next_output();
        // The server announced writes its record a moment later. Never two;
        // where the run killed took another road, the server found may be
        // the first, which ends by itself, and the next then starts.
        EXPECT_TRUE(wait_until([&] { return servers_running() >= 1; }, deadline_seconds))
            << where << "\n" << next_output();
        EXPECT_LE(servers_running(), 1u) << where << "\n" << next_output();
        EXPECT_TRUE(wait_until([&] { return servers_running() == 1; }, deadline_seconds))
            << where << "\n" << next_output();
        expect_every_log_once(where);
        EXPECT_EQ(next_output().find("ERROR"), std::string::npos) << where;
    }
    // The runs took the road of the trace, most of them.
    EXPECT_GE(killed_by_injection * 4, kill_points.size() * 3);
}

namespace {

constexpr char left_one[] = "  WARNING: The gameserver left 1 process running; stopping it...";

// The process id on the server line of molv.lock in `directory`, or 0.
// The lines of a text, without their ends.
std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

long recorded_server(const std::string& directory)
{
    const std::string record = read_file(directory + "/molv.lock");
    const std::size_t at = record.find("\nserver ");
    return at == std::string::npos ? 0 : std::strtol(record.c_str() + at + 8, nullptr, 10);
}

} // namespace

// A wrapper that starts the game in the background: molv is killed, then
// the wrapper ends and the game runs on. The next molv stops that game as
// what the server left, backs up its log, and only then starts a server.
TEST_F(takeover, GameLeftByAWrapperWhoseMolvWasKilledIsStoppedAndItsLogKeptBeforeTheNextLaunch)
{
    ASSERT_TRUE(install_server(work, "game.bin"));
    ASSERT_TRUE(write_file(work + "/deusex.sh", "#!/bin/sh\n./game.bin \"$@\" &\nwait\n"));
    ASSERT_EQ(chmod((work + "/deusex.sh").c_str(), 0755), 0);
    write_immediate_settings("[GENERAL]\nexename=deusex.sh\nlogfile_backups=1\nstop_timeout=5\n");
    const std::vector<std::string> environment = {"MOLV_STANDIN_HOLD=1,2"};
    start(environment);
    ASSERT_TRUE(wait_until([&] { return servers_running() == 1; }, deadline_seconds)) << output();
    const long game = server_records().at(0).number("pid");
    const long wrapper = recorded_server(work);
    ASSERT_GT(wrapper, 0);
    ASSERT_NE(wrapper, game);
    stop_molv(molv);
    ASSERT_EQ(kill(static_cast<pid_t>(wrapper), SIGKILL), 0);
    ASSERT_TRUE(runs_in(game, work));

    start_next(environment);
    ASSERT_TRUE(wait_until([&] { return count_message(next_output(), running) == 1; },
                           deadline_seconds))
        << next_output();
    const std::vector<std::string> messages = stamped_messages(next_output());
    const auto left = std::find(messages.begin(), messages.end(), left_one);
    const auto backed_up = std::find(messages.begin(), messages.end(), backing_up);
    const auto launch = std::find(messages.begin(), messages.end(), starting);
    EXPECT_TRUE(left < backed_up && backed_up < launch) << next_output();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), backing_up), 1) << next_output();
    EXPECT_FALSE(runs_in(game, work));
    ASSERT_TRUE(wait_until([&] { return server_records().size() == 2; }, deadline_seconds));
    EXPECT_EQ(servers_running(), 1u);
    expect_every_log_once("after the wrapper's game was stopped");
}

// A server found again whose record says it had answered keeps a watchdog
// that is armed: its silence is a hang, as that of a server molv started.
TEST_F(takeover, FoundServerThatHadAnsweredAndFellSilentIsCalledHung)
{
    const unsigned port = free_udp_port();
    ASSERT_NE(port, 0u);
    write_immediate_settings("[GENERAL]\nquery_port=" + std::to_string(port) +
                             "\nhang_timeout=2\nstop_timeout=2\n");
    const std::vector<std::string> environment = {
        "MOLV_STANDIN_QUERY_PORT=" + std::to_string(port), "MOLV_STANDIN_QUERY=silent_after_1",
        "MOLV_STANDIN_HOLD=1,2"};
    start(environment);
    ASSERT_TRUE(wait_until(
        [&] { return read_file(work + "/molv.lock").find("\nanswered\n") != std::string::npos; },
        deadline_seconds))
        << output();
    stop_molv(molv);

    start_next(environment);
    ASSERT_TRUE(wait_until(
        [&] {
            return count_message(next_output(),
                                 "  WARNING: Gameserver has not answered for 2 seconds! "
                                 "Stopping it...") == 1 &&
                   count_message(next_output(), running) == 1;
        },
        deadline_seconds))
        << next_output();
    EXPECT_NE(next_output().find(found_prefix), std::string::npos);
}

// Processes that leave the server's session (setsid) come to molv when
// their parent ends: they are stopped with what the server left, at every
// end, so none piles up over restarts.
TEST_F(takeover, HelpersThatLeftTheSessionAreStoppedAtEveryEnd)
{
    ASSERT_TRUE(install_server(work, "game.bin"));
    ASSERT_TRUE(write_file(work + "/deusex.sh",
                           "#!/bin/sh\nsetsid sleep 600 </dev/null >/dev/null 2>&1 &\n"
                           "echo $! >>helpers.txt\nexec ./game.bin \"$@\"\n"));
    ASSERT_EQ(chmod((work + "/deusex.sh").c_str(), 0755), 0);
    write_immediate_settings("[GENERAL]\nexename=deusex.sh\nstop_timeout=5\n");
    start({"MOLV_STANDIN_RUN_MS=300", "MOLV_STANDIN_HOLD=4"});
    ASSERT_TRUE(wait_for_instance(4)) << output();
    ASSERT_TRUE(wait_until([&] { return lines_of(read_file(work + "/helpers.txt")).size() >= 4; },
                           deadline_seconds));
    std::size_t alive = 0;
    std::vector<std::string> helpers = lines_of(read_file(work + "/helpers.txt"));
    for (const std::string& helper : helpers) {
        alive += runs_in(std::strtol(helper.c_str(), nullptr, 10), work) ? 1 : 0;
    }
    // Only the running instance's own.
    EXPECT_EQ(alive, 1u) << output();
    EXPECT_EQ(count_message(output(), left_one), 3u) << output();
    for (const std::string& helper : helpers) {
        const long id = std::strtol(helper.c_str(), nullptr, 10);
        if (runs_in(id, work)) {
            kill(static_cast<pid_t>(id), SIGKILL);
        }
    }
}

// A molv refused beside a running one writes nothing: not the status file,
// not the record, no backup. And a lock file molv cannot write (here a
// folder of that name) still keeps a second molv out.
TEST_F(takeover, RefusedMolvTouchesNothingAndALockThatCannotBeWrittenStillExcludes)
{
    write_immediate_settings("[GENERAL]\nlogfile_backups=1\nstatus_file=molv.prom\n");
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));
    ASSERT_TRUE(wait_until([&] { return file_exists(work + "/molv.prom"); }, deadline_seconds));
    const std::string status = read_file(work + "/molv.prom");
    const std::string record = read_file(work + "/molv.lock");
    struct stat before {};
    ASSERT_EQ(stat((work + "/molv.prom").c_str(), &before), 0);
    start_next({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_end(other_molv, deadline_seconds));
    struct stat after {};
    ASSERT_EQ(stat((work + "/molv.prom").c_str(), &after), 0);
    EXPECT_EQ(read_file(work + "/molv.prom"), status);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(read_file(work + "/molv.lock"), record);
    EXPECT_TRUE(dated_backups(work).empty());

    clear_folder();
    ASSERT_TRUE(make_directory(work + "/molv.lock"));
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));
    start_next({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_end(other_molv, deadline_seconds));
    EXPECT_NE(next_output().find("  ERROR: Another MOLV is already running in this folder"),
              std::string::npos)
        << next_output();
    EXPECT_EQ(server_records().size(), 1u);
}

// The status file's temporary name is made new: a FIFO planted there does
// not block molv, a hard link planted there does not lead its writes into
// another file, and what an ended molv left there goes.
TEST_F(takeover, StatusFileTemporaryNameIsNeverOpenedThroughWhatOthersPlanted)
{
    const std::string collector = root + "/collector";
    ASSERT_TRUE(make_directory(collector));
    const std::string status = collector + "/molv.prom";
    const std::string left_behind = status + "." + std::to_string(1u << 22) + "9.tmp";
    ASSERT_TRUE(write_file(left_behind, "half a file"));
    write_immediate_settings("[GENERAL]\nstatus_file=" + status + "\n");
    start({"MOLV_STANDIN_RUN_MS=500", "MOLV_STANDIN_HOLD=3"});
    ASSERT_TRUE(wait_for_instance(1));
    EXPECT_FALSE(file_exists(left_behind));

    // Planted under this molv's own temporary name before its next writes.
    const std::string temporary = status + "." + std::to_string(molv.id) + ".tmp";
    const std::string other = collector + "/other.prom";
    ASSERT_TRUE(write_file(other, "other_metric 1\n"));
    ASSERT_EQ(mkfifo(temporary.c_str(), 0644), 0);
    ASSERT_TRUE(wait_for_instance(2)) << output();
    ASSERT_TRUE(wait_until([&] { return !file_exists(temporary); }, deadline_seconds));
    ASSERT_EQ(link(other.c_str(), temporary.c_str()), 0);
    ASSERT_TRUE(wait_for_instance(3)) << output();
    EXPECT_EQ(read_file(other), "other_metric 1\n");
    EXPECT_NE(read_file(status).find("molv_server_up"), std::string::npos);
    EXPECT_EQ(output().find("Could not write the status file"), std::string::npos) << output();
}

// As a container's first process molv has no /proc of its own: a helper
// that left the server's session and ignores the polite stop cannot be
// found to be forced. The stop still ends, after the force and the same
// time again, and the cycle goes on.
TEST_F(takeover, StopOfWhatCannotBeFoundEndsAndTheCycleGoesOn)
{
    const std::string refused = isolation_refused(isolation_kind::pid_namespace);
    if (!refused.empty()) {
        GTEST_SKIP() << refused;
    }
    ASSERT_TRUE(install_server(work, "game.bin"));
    ASSERT_TRUE(write_file(work + "/deusex.sh",
                           "#!/bin/sh\nsetsid sh -c 'trap \"\" TERM; sleep 600' </dev/null "
                           ">/dev/null 2>&1 &\nexec ./game.bin \"$@\"\n"));
    ASSERT_EQ(chmod((work + "/deusex.sh").c_str(), 0755), 0);
    write_immediate_settings("[GENERAL]\nexename=deusex.sh\nstop_timeout=1\n");
    molv_launch launch = launch_in_work({"MOLV_STANDIN_RUN_MS=200", "MOLV_STANDIN_HOLD=2"});
    launch.isolation = isolation_kind::pid_namespace;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_instance(2)) << output();
    const std::vector<std::string> expected = {
        starting,
        running,
        ended,
        left_one,
        "  WARNING: Gameserver did not stop within 1 second; ending it by force.",
        "  WARNING: 1 process of the gameserver could not be ended; going on.",
        backing_up,
        restarting,
        running};
    EXPECT_EQ(cycle_messages(output()), expected);
}
