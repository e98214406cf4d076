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
    void clear_folder()
    {
        stop_traced(molv);
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
        clear_folder();
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
        // The server announced writes its record a moment later.
        EXPECT_TRUE(wait_until([&] { return servers_running() >= 1; }, deadline_seconds))
            << where << "\n" << next_output();
        EXPECT_EQ(servers_running(), 1u) << where << "\n" << next_output();
        expect_every_log_once(where);
        EXPECT_EQ(next_output().find("ERROR"), std::string::npos) << where;
    }
    // The runs took the road of the trace, most of them.
    EXPECT_GE(killed_by_injection * 4, kill_points.size() * 3);
}
