// The supervision cycle end to end under the faults an operator meets over
// weeks: a server that dies at once again and again, one killed from
// outside, an executable or a log file removed under a running server, and
// a backup that the file system cannot take; and under the surroundings
// molv is run in: a pipe whose reader goes, closed or extra descriptors, a
// container with molv as its first process, a root without a null device,
// and a signal at the key prompt.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_fixture.h"
#include "launch_modes.h"

// AddressSanitizer keeps freed memory in quarantine instead of reusing it,
// so under it the resident size grows with every allocation the C library
// makes for a launch and says nothing about molv's own use.
#if defined(__SANITIZE_ADDRESS__)
#define MOLV_E2E_FREED_MEMORY_REUSED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MOLV_E2E_FREED_MEMORY_REUSED 0
#endif
#endif
#ifndef MOLV_E2E_FREED_MEMORY_REUSED
#define MOLV_E2E_FREED_MEMORY_REUSED 1
#endif

namespace {


// The contents of the dated backups in `directory`.
std::vector<std::string> backup_contents(const std::string& directory)
{
    std::vector<std::string> contents;
    for (const std::string& name : dated_backups(directory)) {
        contents.push_back(read_file(directory + "/" + name));
    }
    return contents;
}

// The instance number written into a stand-in log, or -1.
long instance_of_log(const std::string& content)
{
    std::size_t at = content.find("\ninstance ");
    return at == std::string::npos ? -1 : std::strtol(content.c_str() + at + 10, nullptr, 10);
}

// What descriptor `fd` of a process is open on, or "" when it is closed.
std::string descriptor_target(long id, int fd)
{
    char target[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(id) + "/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    return length < 0 ? "" : std::string(target, static_cast<std::size_t>(length));
}

// Settings under which a server that ends at once is started again at once.
const char restart_at_once[] = "[GENERAL]\nmin_uptime=0\n";

// The resident memory of a process in kilobytes, or -1.
long resident_kilobytes(long id)
{
    const std::string status = read_file("/proc/" + std::to_string(id) + "/status");
    const std::size_t at = status.find("\nVmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 7, nullptr, 10);
}

// A count from /proc/<id>/io ("rchar", "wchar", ...), or -1.
long long io_count(long id, const std::string& field)
{
    const std::string io = "\n" + read_file("/proc/" + std::to_string(id) + "/io");
    const std::size_t at = io.find("\n" + field + ": ");
    return at == std::string::npos ? -1 : std::strtoll(io.c_str() + at + field.size() + 3, nullptr, 10);
}

// The id of a process that has ended and been collected.
long ended_process_id()
{
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

class faults : public molv_test {
protected:
    long server_id(std::size_t instance) const
    {
        const std::vector<standin_record> all = server_records();
        return instance >= 1 && instance <= all.size() ? all[instance - 1].number("pid") : -1;
    }

    // Sends `signal` to the process group of a server, as a closed console
    // or an operator would; only to a server that runs in this test's
    // directory, so that a reused process id is never hit.
    bool signal_server(long id, int signal) const
    {
        char where[PATH_MAX];
        const std::string link = "/proc/" + std::to_string(id) + "/cwd";
        const ssize_t length = readlink(link.c_str(), where, sizeof where - 1);
        if (id <= 0 || length < 0 || std::string(where, static_cast<std::size_t>(length)) != work) {
            return false;
        }
        return kill(-static_cast<pid_t>(id), signal) == 0;
    }

    // Whether a process runs: it is there and has not ended (a process
    // that has ended stays until its parent, here maybe one that never
    // collects, takes its status).
    static bool running_process(long id)
    {
        const std::string stat = read_file("/proc/" + std::to_string(id) + "/stat");
        const std::size_t at = stat.rfind(") ");
        return at != std::string::npos && at + 2 < stat.size() && stat[at + 2] != 'Z' &&
               stat[at + 2] != 'X';
    }

    // Settings and stand-in for a watched server on a port of its own.
    unsigned port = 0;
    std::string watched_settings(unsigned hang_timeout, unsigned stop_timeout)
    {
        port = free_udp_port();
        EXPECT_NE(port, 0u);
        return "[GENERAL]\nmin_uptime=0\nquery_port=" + std::to_string(port) +
               "\nhang_timeout=" + std::to_string(hang_timeout) +
               "\nstop_timeout=" + std::to_string(stop_timeout) + "\n";
    }
    std::vector<std::string> answering(const std::string& manner, const std::string& stop = "honour")
    {
        return {"MOLV_STANDIN_QUERY_PORT=" + std::to_string(port), "MOLV_STANDIN_QUERY=" + manner,
                "MOLV_STANDIN_STOP=" + stop, "MOLV_STANDIN_HOLD=1,2,3"};
    }
    std::size_t answered(long instance) const
    {
        return count_lines(read_file(records + "/queries-" + std::to_string(instance) + ".txt"),
                           "query answered");
    }
    static std::size_t count_lines(const std::string& text, const std::string& line)
    {
        std::size_t count = 0;
        for (const std::string& each : text_lines(text)) {
            count += each == line ? 1 : 0;
        }
        return count;
    }

    // Stops molv for `seconds`, as a debugger, a paused machine or a stop
    // signal would, then lets it go on.
    void pause_molv(double seconds)
    {
        ASSERT_EQ(kill(static_cast<pid_t>(molv.id), SIGSTOP), 0);
        wait_until([] { return false; }, seconds);
        ASSERT_EQ(kill(static_cast<pid_t>(molv.id), SIGCONT), 0);
    }

    // Checks that the backups are exactly one for each of `instances`, each
    // equal byte for byte to the log that instance wrote.
    void expect_one_backup_each(long first, long last)
    {
        std::map<long, int> backups;
        for (const std::string& content : backup_contents(work)) {
            const long instance = instance_of_log(content);
            ++backups[instance];
            EXPECT_EQ(content, read_file(records + "/log-" + std::to_string(instance) + ".txt"))
                << "backup of instance " << instance;
        }
        std::map<long, int> expected;
        for (long instance = first; instance <= last; ++instance) {
            expected[instance] = 1;
        }
        EXPECT_EQ(backups, expected);
    }
};

} // namespace

TEST_F(faults, AThousandServersThatEndAtOnceAreAllBackedUpAndNothingGrows)
{
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=101,1001"});

    // Instance 101 runs after the 100th end, instance 1001 after the
    // 1,000th; molv waits for each, holding what it holds between launches.
    ASSERT_TRUE(wait_for_instance(101));
    const int descriptors = open_descriptor_count(molv.id);
    const long resident = resident_kilobytes(molv.id);
    ASSERT_GT(descriptors, 0);
    ASSERT_GT(resident, 0);
    ASSERT_TRUE(signal_server(server_id(101), SIGKILL));

    ASSERT_TRUE(wait_for_instance(1001));
    EXPECT_EQ(open_descriptor_count(molv.id), descriptors);
    if (MOLV_E2E_FREED_MEMORY_REUSED) {
        EXPECT_LE(resident_kilobytes(molv.id), resident);
    }
    EXPECT_EQ(zombie_children(molv.id), 0);
    // The same four lines for every end and nothing else: in particular no
    // pause is put between an end and the next launch.
    EXPECT_EQ(cycle_messages(output()),
              expected_cycle(std::vector<std::vector<std::string>>(1000, {backing_up})));
    expect_one_backup_each(1, 1000);
}

TEST_F(faults, ServerKilledFromOutsideIsRestartedWhateverTheSignal)
{
    // The cycle tests cover a server that kills itself; these come from
    // outside to the server's whole process group, which molv is not in.
    const int signals[] = {SIGTERM, SIGINT, SIGHUP, SIGKILL};
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1,2,3,4,5"});
    for (std::size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(wait_for_instance(i + 1));
        ASSERT_TRUE(signal_server(server_id(i + 1), signals[i])) << "instance " << i + 1;
    }
    ASSERT_TRUE(wait_for_instance(5));

    EXPECT_EQ(cycle_messages(output()),
              expected_cycle(std::vector<std::vector<std::string>>(4, {backing_up})));
    expect_one_backup_each(1, 4);
    EXPECT_FALSE(wait_for_end(molv, 0)) << "molv ended";
}

TEST_F(faults, ExecutableRemovedUnderARunningServerIsRetriedUntilItIsBack)
{
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1,2"});
    ASSERT_TRUE(wait_for_instance(1));

    // The running server keeps its program when the file goes, and then
    // ends in order by itself.
    ASSERT_EQ(unlink((work + "/deusex.exe").c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(kill(static_cast<pid_t>(server_id(1)), 0), 0) << "the server ended with its file";
    ASSERT_TRUE(write_file(records + "/stop", ""));
    ASSERT_TRUE(wait_for_message("  > Retrying in 1 second..."));
    EXPECT_FALSE(wait_for_end(molv, 0)) << "molv ended";

    // Once the executable is back, the next try starts it.
    ASSERT_EQ(unlink((records + "/stop").c_str()), 0) << std::strerror(errno);
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(wait_for_instance(2));

    // How many tries failed depends on how fast the executable came back;
    // each failed one is reported and paced with a pause twice the last.
    const std::string failed =
        std::string("  WARNING: Could not start the gameserver: ") + std::strerror(ENOENT);
    const std::size_t failures = count_message(output(), failed);
    EXPECT_GE(failures, 1u);
    std::vector<std::string> expected = {starting, running, ended, backing_up};
    for (std::size_t i = 0; i < failures; ++i) {
        expected.insert(expected.end(), {restarting, failed, retrying_in(1u << i)});
    }
    expected.insert(expected.end(), {restarting, running});
    EXPECT_EQ(cycle_messages(output()), expected);
    EXPECT_EQ(server_records().size(), 2u);
    EXPECT_EQ(server_records()[1].get("line"), server_records()[0].get("line"));
}

TEST_F(faults, LogRemovedUnderARunningServerIsReportedAndBackupsGoOn)
{
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1,2,3"});
    ASSERT_TRUE(wait_for_instance(1));
    ASSERT_EQ(unlink((work + "/server.log").c_str()), 0) << std::strerror(errno);
    ASSERT_TRUE(signal_server(server_id(1), SIGKILL));
    ASSERT_TRUE(wait_for_instance(2));
    ASSERT_TRUE(signal_server(server_id(2), SIGKILL));
    ASSERT_TRUE(wait_for_instance(3));

    EXPECT_EQ(cycle_messages(output()), expected_cycle({{log_missing}, {backing_up}}));
    expect_one_backup_each(2, 2);
}

TEST_F(faults, BackupThatOutgrowsTheFileSizeLimitLeavesNothingAndBackupsResume)
{
    // molv may write files of up to `limit` bytes, as if the disk held no
    // more: one byte more fails part way through the copy, and exactly the
    // limit fits. The stand-in writes no log, since the limit binds it too.
    // molv runs with the signal for crossing the limit at its default, as
    // from a shell after `ulimit -f 64`.
    const unsigned long limit = 64 * 1024;
    write_settings(restart_at_once);
    ASSERT_TRUE(write_file(work + "/server.log", std::string(limit + 1, 'L')));
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1,2,3", "MOLV_STANDIN_LOG=0"}, input_kind::null_device, limit);
    ASSERT_TRUE(wait_for_instance(1));
    ASSERT_TRUE(signal_server(server_id(1), SIGKILL));
    ASSERT_TRUE(wait_for_instance(2));
    EXPECT_EQ(file_names(work),
              (std::vector<std::string>{"deusex.exe", "molv.ini", "molv.lock", "server.log"}));

    const std::string fits(limit, 'S');
    ASSERT_TRUE(write_file(work + "/server.log", fits));
    ASSERT_TRUE(signal_server(server_id(2), SIGKILL));
    ASSERT_TRUE(wait_for_instance(3));

    const std::string failed = std::string("  WARNING: Log backup failed: ") + std::strerror(EFBIG);
    EXPECT_EQ(cycle_messages(output()), expected_cycle({{failed}, {backing_up}}));
    EXPECT_EQ(backup_contents(work), std::vector<std::string>{fits});
    // The server gets the signal at its default, as molv got it.
    for (const standin_record& server : server_records()) {
        EXPECT_EQ(server.get("sigxfsz"), "default") << "instance " << server.get("instance");
    }
}

TEST_F(faults, ReaderOfTheOutputThatGoesAwayLeavesTheCycleRunning)
{
    // As `molv | head -n 30`: the reader takes the banner, the settings and
    // the first end, and goes. Every line after that is lost, and the cycle
    // goes on as before.
    write_settings(restart_at_once);
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    molv_launch launch =
        launch_in_work({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=2,5"});
    launch.reader_lines = 30;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_until([&] { return server_records().size() >= 2; }, deadline_seconds));
    ASSERT_TRUE(wait_for_reader_end(molv, deadline_seconds));

    // The next end is told to nobody; instances 3 and 4 end at once.
    ASSERT_TRUE(signal_server(server_id(2), SIGKILL));
    ASSERT_TRUE(wait_until([&] { return server_records().size() >= 5; }, deadline_seconds));
    EXPECT_FALSE(wait_for_end(molv, 0)) << "molv ended by signal " << molv.end_signal;
    expect_one_backup_each(1, 4);
    EXPECT_EQ(text_lines(output(), true).size(), 30u);
    EXPECT_EQ(cycle_messages(output()),
              (std::vector<std::string>{starting, running, ended, backing_up}));
    for (const standin_record& server : server_records()) {
        EXPECT_EQ(server.get("sigpipe"), "default") << "instance " << server.get("instance");
    }
}

TEST_F(faults, ClosedStandardDescriptorsAreNeverTakenByTheServersLog)
{
    // As `molv <&- >&- 2>&-`, with a server that writes console text while
    // its log is open: the console text must not go into the log.
    write_settings(restart_at_once);
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    molv_launch launch = launch_in_work({"MOLV_STANDIN_HOLD=1,2", "MOLV_STANDIN_CHATTER=1"});
    launch.standard_closed = true;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_until([&] { return server_records().size() >= 1; }, deadline_seconds));
    ASSERT_TRUE(signal_server(server_id(1), SIGKILL));
    ASSERT_TRUE(wait_until([&] { return server_records().size() >= 2; }, deadline_seconds));

    for (int fd = 0; fd <= 2; ++fd) {
        EXPECT_EQ(descriptor_target(molv.id, fd), "/dev/null") << "descriptor " << fd;
    }
    for (const standin_record& server : server_records()) {
        EXPECT_EQ(server.get("descriptors"), "0,1,2") << "instance " << server.get("instance");
    }
    expect_one_backup_each(1, 1);
    EXPECT_FALSE(wait_for_end(molv, 0)) << "molv ended";
}

TEST_F(faults, DescriptorInheritedByMolvNeverReachesTheServer)
{
    // A launcher's lock file on descriptor 7: the server, in a session of its
    // own, would hold the lock for its whole life.
    write_settings(restart_at_once);
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    molv_launch launch = launch_in_work({"MOLV_STANDIN_HOLD=1,2"});
    launch.inherited_descriptor = 7;
    launch.inherited_path = root + "/launcher.lock";
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_instance(1));
    ASSERT_TRUE(signal_server(server_id(1), SIGKILL));
    ASSERT_TRUE(wait_for_instance(2));

    for (const standin_record& server : server_records()) {
        EXPECT_EQ(server.get("descriptors"), "0,1,2") << "instance " << server.get("instance");
    }
    // molv itself leaves it alone: it belongs to whoever started molv.
    EXPECT_EQ(descriptor_target(molv.id, 7), root + "/launcher.lock");
}

TEST_F(faults, AsAContainersFirstProcessMolvReapsEveryChildAndStopsWithItsServer)
{
    const std::string refused = isolation_refused(isolation_kind::pid_namespace);
    if (!refused.empty()) {
        GTEST_SKIP() << refused;
    }
    // Each server leaves a helper process behind, which comes to molv, the
    // first process, once its server is gone, and then ends.
    write_settings(std::string(restart_at_once) + "status_file=molv.prom\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    molv_launch launch = launch_in_work(
        {"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=4", "MOLV_STANDIN_ORPHAN=1"});
    launch.isolation = isolation_kind::pid_namespace;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_instance(4));
    EXPECT_TRUE(wait_until([&] { return child_processes(molv.id) == 1; }, deadline_seconds))
        << child_processes(molv.id) << " children, " << zombie_children(molv.id)
        << " of them ended";

    // `docker stop`: SIGTERM to the first process, which passes it on to the
    // server, reports its end as a stop, keeps its log and ends.
    ASSERT_EQ(kill(static_cast<pid_t>(molv.id), SIGTERM), 0);
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_TRUE(molv.exited) << "ended by signal " << molv.end_signal;
    EXPECT_EQ(molv.exit_code, 0);
    std::vector<std::string> expected = expected_cycle(3, {backing_up});
    expected.insert(expected.end(), {stopped, backing_up});
    // The helper may still be there when its server's end is handled, and is
    // then stopped with a warning.
    std::vector<std::string> messages = cycle_messages(output());
    messages.erase(std::remove_if(messages.begin(), messages.end(),
                                  [](const std::string& message) {
                                      return message.rfind("  WARNING: The gameserver left 1 ", 0) ==
                                             0;
                                  }),
                   messages.end());
    EXPECT_EQ(messages, expected);
    expect_one_backup_each(1, 4);
    // Its status file's last word: no server runs, three instances crashed,
    // and the one stopped with MOLV counts as no end of its own.
    const std::string status = read_file(work + "/molv.prom");
    const std::string folder = "{folder=\"" + work + "\"";
    EXPECT_NE(status.find("molv_server_up" + folder + "} 0\n"), std::string::npos) << status;
    EXPECT_NE(status.find("molv_server_ends_total" + folder + ",cause=\"crashed\"} 3\n"),
              std::string::npos)
        << status;
    // A launch is never held up by the signals molv keeps from itself then.
    for (const standin_record& server : server_records()) {
        EXPECT_EQ(server.get("blocked"), "0") << "instance " << server.get("instance");
    }
}

TEST_F(faults, AsAContainersFirstProcessMolvStopsInARetryPauseWithoutAnotherStart)
{
    const std::string refused = isolation_refused(isolation_kind::pid_namespace);
    if (!refused.empty()) {
        GTEST_SKIP() << refused;
    }
    // An executable that cannot be started: molv retries after growing pauses.
    write_settings(restart_at_once);
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_EQ(chmod((work + "/deusex.exe").c_str(), 0644), 0) << std::strerror(errno);
    molv_launch launch = launch_in_work();
    launch.isolation = isolation_kind::pid_namespace;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_message("  > Retrying in 1 second..."));

    ASSERT_EQ(kill(static_cast<pid_t>(molv.id), SIGINT), 0);
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_TRUE(molv.exited) << "ended by signal " << molv.end_signal;
    EXPECT_EQ(molv.exit_code, 0);
    // Whenever the signal came, the last try was followed by its pause and
    // no other.
    const std::vector<std::string> messages = cycle_messages(output());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().rfind("  > Retrying in ", 0), 0u) << messages.back();
    const std::string failed =
        std::string("  WARNING: Could not start the gameserver: ") + std::strerror(EACCES);
    EXPECT_EQ(count_message(output(), failed), count_message(output(), restarting) + 1);
    EXPECT_TRUE(server_records().empty());
}

TEST_F(faults, OutsideAContainerAStopSignalEndsMolvAndTheServerRunsOn)
{
    write_settings(restart_at_once);
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));

    ASSERT_EQ(kill(static_cast<pid_t>(molv.id), SIGTERM), 0);
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_EQ(molv.end_signal, SIGTERM);
    EXPECT_EQ(kill(static_cast<pid_t>(server_id(1)), 0), 0) << "the server ended with molv";
    EXPECT_EQ(count_message(output(), ended), 0u);
}

TEST_F(faults, WithoutANullDeviceTheServerStartsWithItsInputClosed)
{
    const std::string refused = isolation_refused(isolation_kind::no_null_device);
    if (!refused.empty()) {
        GTEST_SKIP() << refused;
    }
    // A minimal root: /dev is empty.
    write_settings(restart_at_once);
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    molv_launch launch = launch_in_work({"MOLV_STANDIN_HOLD=1,2"});
    launch.isolation = isolation_kind::no_null_device;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_instance(1)) << output();
    ASSERT_TRUE(signal_server(server_id(1), SIGKILL));
    ASSERT_TRUE(wait_for_instance(2));

    EXPECT_EQ(cycle_messages(output()), expected_cycle(1, {backing_up}));
    for (const standin_record& server : server_records()) {
        EXPECT_EQ(server.get("descriptors"), "1,2") << "instance " << server.get("instance");
    }
}

TEST_F(faults, WithoutANullDeviceClosedStandardDescriptorsAreStillNeverTakenByTheLog)
{
    const std::string refused = isolation_refused(isolation_kind::no_null_device);
    if (!refused.empty()) {
        GTEST_SKIP() << refused;
    }
    // With nothing to open from /dev, the root directory holds the places of
    // standard output and error: writes to it fail, and raise no signal.
    write_settings(restart_at_once);
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    molv_launch launch = launch_in_work({"MOLV_STANDIN_HOLD=1,2", "MOLV_STANDIN_CHATTER=1"});
    launch.isolation = isolation_kind::no_null_device;
    launch.standard_closed = true;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_until([&] { return server_records().size() >= 1; }, deadline_seconds));
    ASSERT_TRUE(signal_server(server_id(1), SIGKILL));
    ASSERT_TRUE(wait_until([&] { return server_records().size() >= 2; }, deadline_seconds));

    for (int fd = 0; fd <= 2; ++fd) {
        EXPECT_EQ(descriptor_target(molv.id, fd), "/") << "descriptor " << fd;
    }
    expect_one_backup_each(1, 1);
    EXPECT_FALSE(wait_for_end(molv, 0)) << "molv ended by signal " << molv.end_signal;
}

TEST_F(faults, SignalAtTheKeyPromptRestoresTheTerminalAndEndsMolvAsTheSignalWould)
{
    // No executable, so molv stops at the key prompt with the terminal out
    // of line editing and echo. Ctrl+C there, or a signal from outside.
    struct prompt_stop {
        const char* keys;
        int signal_sent;
        int signal_expected;
    };
    const prompt_stop stops[] = {{"\x03", 0, SIGINT}, {"", SIGTERM, SIGTERM}, {"", SIGHUP, SIGHUP}};
    for (const prompt_stop& stop : stops) {
        molv_launch launch;
        launch.directory = work;
        launch.output_path = output_path;
        launch.prompt_keys = stop.keys;
        launch.prompt_signal = stop.signal_sent;
        terminal_run run;
        ASSERT_TRUE(run_in_terminal(launch, deadline_seconds, run)) << run.output;
        EXPECT_NE(run.output.find("Press any key to continue . . . "), std::string::npos);
        EXPECT_EQ(run.end_signal, stop.signal_expected) << "exit status " << run.exit_code;
        EXPECT_TRUE(run.terminal_usable) << "after signal " << stop.signal_expected;
    }
}

TEST_F(faults, SettingsAreReadInACurrentFolderDeeperThanThePathLimit)
{
    // Folders of 200 characters, one in the other, until the current folder's
    // path alone is longer than any path the system takes whole.
    const std::string folder(200, 'd');
    std::string deep = work;
    int at = open(work.c_str(), O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(at, 0) << std::strerror(errno);
    while (deep.size() <= PATH_MAX + 200) {
        const bool made = mkdirat(at, folder.c_str(), 0755) == 0;
        const int inner = made ? openat(at, folder.c_str(), O_DIRECTORY | O_CLOEXEC) : -1;
        close(at);
        ASSERT_GE(inner, 0) << std::strerror(errno);
        at = inner;
        deep += "/" + folder;
    }
    const std::string settings = launch_cases[0].settings;
    const int file = openat(at, "molv.ini", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written = file >= 0 && write(file, settings.data(), settings.size()) ==
                                          static_cast<ssize_t>(settings.size());
    close(file);
    close(at);
    ASSERT_TRUE(written) << std::strerror(errno);

    molv_launch launch = launch_in_work();
    launch.directory = deep;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_TRUE(molv.exited);
    EXPECT_EQ(molv.exit_code, cannot_start_status);
    EXPECT_EQ(mask_stamps(output()), expected_start(true, launch_cases[0]) +
                                         expected_refusal("  ERROR: Executeable not found!"));
    // The folders are too deep for a removal by path names.
    EXPECT_EQ(std::system(("rm -rf '" + work + "/" + folder + "'").c_str()), 0);
}

TEST_F(faults, SettingsFileTooLargeToReadIsSaidSoNotTakenForDefaults)
{
    // Settings at the start of a sparse file of many gigabytes: molv does
    // not hold it whole, and says so rather than quietly using defaults.
    write_settings(launch_cases[0].settings);
    ASSERT_EQ(truncate((work + "/molv.ini").c_str(), 40LL << 30), 0) << std::strerror(errno);
    start();
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_EQ(molv.exit_code, cannot_start_status);

    std::string expected = expected_start(true, {"", "", "", "",
                                                 standard_summary("deusex.exe", "server.log",
                                                                  "DeathMatchGame", "10",
                                                                  "DXMP_Area51_Bunker")
                                                     .c_str(),
                                                 ""});
    const std::string loading = "[HH:MM:SS]   Loading settings...\n";
    expected.insert(expected.find(loading) + loading.size(),
                    "[HH:MM:SS]   WARNING: Could not read molv.ini: " + std::string(std::strerror(EFBIG)) +
                        ". Using default settings.\n");
    EXPECT_EQ(mask_stamps(output()), expected + expected_refusal("  ERROR: Executeable not found!"));
}

TEST_F(faults, MolvKilledInTheMiddleOfACopyLeavesNoPartialBackupAndNextTimeNothingOfIt)
{
    // A sparse log of 1 GiB takes no room, but its copy may take as much
    // until molv is killed.
    const long long size = 1LL << 30;
    struct statvfs space {};
    ASSERT_EQ(statvfs(work.c_str(), &space), 0) << std::strerror(errno);
    if (static_cast<long long>(space.f_bavail) * static_cast<long long>(space.f_frsize) <
        4 * size) {
        GTEST_SKIP() << "less than 4 GiB free beside the test's folder";
    }
    const std::string log = work + "/server.log";
    ASSERT_TRUE(write_file(log, "MOLV stand-in server log\n"));
    ASSERT_EQ(truncate(log.c_str(), size), 0) << std::strerror(errno);
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    const std::vector<std::string> environment = {"MOLV_STANDIN_HOLD=1,2,3",
                                                  "MOLV_STANDIN_LOG=0"};
    start(environment);
    ASSERT_TRUE(wait_for_instance(1));

    // molv is killed once it has read 64 MB of the log, or after the copy
    // where it took less than that (a file system that shares blocks).
    const long long read_before = io_count(molv.id, "rchar");
    ASSERT_TRUE(signal_server(server_id(1), SIGKILL));
    ASSERT_TRUE(wait_until(
        [&] {
            return io_count(molv.id, "rchar") >= read_before + (64LL << 20) ||
                   count_message(output(), backing_up) > 0;
        },
        deadline_seconds));
    stop_molv(molv);

    // Under a backup name there is the whole log or nothing.
    const std::vector<std::string> first_run = dated_backups(work);
    EXPECT_LE(first_run.size(), 1u);
    for (const std::string& name : first_run) {
        EXPECT_TRUE(same_content(work + "/" + name, log)) << name << " is not the whole log";
    }

    // The next run makes the interrupted copy again, whole, of the log as it
    // finds it, before its first launch; that and the backup after its own
    // server's end leave nothing of the interrupted one.
    const std::string next_log = "MOLV stand-in server log of the next run\n";
    ASSERT_TRUE(write_file(log, next_log));
    start(environment);
    ASSERT_TRUE(wait_until(
        [&] { return server_records().size() >= 2 && count_message(output(), running) >= 1; },
        deadline_seconds));
    ASSERT_TRUE(signal_server(server_id(2), SIGKILL));
    ASSERT_TRUE(wait_for_message(backing_up));
    // The restarted server is let start, so that it is stopped at the end.
    ASSERT_TRUE(wait_until(
        [&] { return server_records().size() >= 3 && count_message(output(), running) >= 2; },
        deadline_seconds));
    EXPECT_EQ(working_copies(work), std::vector<std::string>{});
    std::vector<std::string> expected = {"deusex.exe", "molv.ini", "molv.lock", "server.log"};
    expected.insert(expected.end(), first_run.begin(), first_run.end());
    std::vector<std::string> second_run;
    for (const std::string& name : dated_backups(work)) {
        if (std::find(first_run.begin(), first_run.end(), name) == first_run.end()) {
            second_run.push_back(name);
            expected.push_back(name);
        }
    }
    // A copy cut short is made again before the first start; one that was
    // done (a file system that shares blocks) is not.
    const long made_again = first_run.empty() ? 1 : 0;
    ASSERT_EQ(second_run.size(), 1u + static_cast<std::size_t>(made_again));
    for (const std::string& name : second_run) {
        EXPECT_EQ(read_file(work + "/" + name), next_log) << name;
    }
    const std::vector<std::string> messages = stamped_messages(output());
    const auto first_launch = std::find(messages.begin(), messages.end(), starting);
    EXPECT_EQ(std::count(messages.begin(), first_launch, backing_up), made_again) << output();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(file_names(work), expected);
}

TEST_F(faults, WorkingCopiesOfEndedMolvsGoAtTheNextBackupAndNothingElseDoes)
{
    const std::string dead = std::to_string(ended_process_id());
    const std::string stale = ".molv-backup-" + dead + "-1.tmp";
    // A working name of a process that runs (this test, not a molv) is
    // left to it; so is everything that only looks like a working copy.
    const std::vector<std::string> kept_files = {
        ".molv-backup-" + std::to_string(getpid()) + "-1.tmp", stale + ".bak",
        "molv-backup-" + dead + "-1.tmp", ".molv-backup-0" + dead + "-1.tmp", "operator.txt"};
    const std::string folder = ".molv-backup-" + dead + "-2.tmp";
    const std::string link = ".molv-backup-" + dead + "-3.tmp";
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(write_file(work + "/" + stale, "part of a copy"));
    for (const std::string& name : kept_files) {
        ASSERT_TRUE(write_file(work + "/" + name, name));
    }
    ASSERT_TRUE(make_directory(work + "/" + folder));
    ASSERT_EQ(symlink("operator.txt", (work + "/" + link).c_str()), 0) << std::strerror(errno);

    start({"MOLV_STANDIN_HOLD=1,2"});
    ASSERT_TRUE(wait_for_instance(1));
    // Starting alone removes nothing. A working copy under molv's own
    // process id is a leftover of an earlier molv that had the same id (as
    // the first process of a container has), since molv copies nothing now.
    EXPECT_TRUE(file_exists(work + "/" + stale));
    const std::string own = ".molv-backup-" + std::to_string(molv.id) + "-1.tmp";
    ASSERT_TRUE(write_file(work + "/" + own, "part of a copy"));
    ASSERT_TRUE(signal_server(server_id(1), SIGKILL));
    ASSERT_TRUE(wait_for_instance(2));

    EXPECT_FALSE(file_exists(work + "/" + stale));
    EXPECT_FALSE(file_exists(work + "/" + own));
    for (const std::string& name : kept_files) {
        EXPECT_EQ(read_file(work + "/" + name), name);
    }
    EXPECT_TRUE(std::filesystem::is_directory(work + "/" + folder));
    EXPECT_TRUE(std::filesystem::is_symlink(std::filesystem::symlink_status(work + "/" + link)));
    EXPECT_EQ(cycle_messages(output()), expected_cycle({{backing_up}}));
    EXPECT_EQ(dated_backups(work).size(), 1u);
}

constexpr char hang_line[] = "  WARNING: Gameserver has not answered for 2 seconds! Stopping it...";

TEST_F(faults, MolvsOwnPauseIsNotTakenForASilentServerAndARealSilenceStillIs)
{
    write_settings(watched_settings(2, 1));
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start(answering("answer,silent_after_1"));
    ASSERT_TRUE(wait_for_instance(1));
    ASSERT_TRUE(wait_until([&] { return answered(1) >= 1; }, deadline_seconds));
    // Twice hang_timeout away beside a server that answers every query.
    pause_molv(4.0);
    const std::size_t before = answered(1);
    ASSERT_TRUE(wait_until([&] { return answered(1) >= before + 2; }, deadline_seconds));
    EXPECT_EQ(count_message(output(), hang_line), 0u);

    // The next instance answers once and then falls silent: it is still
    // stopped after molv's return.
    ASSERT_TRUE(signal_server(server_id(1), SIGKILL));
    ASSERT_TRUE(wait_for_instance(2));
    ASSERT_TRUE(wait_until([&] { return answered(2) >= 1; }, deadline_seconds));
    pause_molv(4.0);
    ASSERT_TRUE(wait_for_message(hang_line));
    ASSERT_TRUE(wait_for_instance(3));
    EXPECT_EQ(count_message(output(), hang_line), 1u);
}

TEST_F(faults, HangStopEndsAWrapperScriptAndTheServerItStarted)
{
    // The wrapper starts the server as its child, without exec.
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(write_file(work + "/server.sh", "#!/bin/sh\n./deusex.exe \"$@\"\n"));
    ASSERT_EQ(chmod((work + "/server.sh").c_str(), 0755), 0) << std::strerror(errno);
    write_settings(watched_settings(2, 1) + "exename=server.sh\n");
    start(answering("silent_after_1,answer"));
    ASSERT_TRUE(wait_for_instance(1));
    const long server = server_id(1);
    const long wrapper = server_records().at(0).number("session");
    ASSERT_NE(server, wrapper);
    ASSERT_TRUE(wait_for_message(hang_line));
    ASSERT_TRUE(wait_for_message("  > Gameserver stopped."));
    EXPECT_TRUE(wait_until([&] { return !running_process(server); }, deadline_seconds));
    EXPECT_TRUE(wait_until([&] { return !running_process(wrapper); }, deadline_seconds));
}

TEST_F(faults, ForceComesNoEarlierThanStopTimeout)
{
    write_settings(watched_settings(2, 3));
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start(answering("silent_after_1,answer", "ignore,honour"));
    ASSERT_TRUE(wait_for_message(hang_line));
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_for_message(
        "  WARNING: Gameserver did not stop within 3 seconds; ending it by force."));
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - asked;
    // Three seconds less what the look for the first line may have lagged.
    EXPECT_GE(waited.count(), 2.0);
}

TEST_F(faults, AnswerFromAnotherPortNeitherArmsNorFeedsTheWatchdog)
{
    // The first answer comes from the query port and arms the watchdog;
    // every later one from another port is no answer of the server's.
    write_settings(watched_settings(2, 1));
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start(answering("elsewhere_after_1,answer"));
    ASSERT_TRUE(wait_for_message(hang_line));
    EXPECT_GE(count_lines(read_file(records + "/queries-1.txt"), "query answered elsewhere"), 1u);
    ASSERT_TRUE(wait_for_instance(2));
}
