// End-to-end checks that only POSIX systems can make: the terminal, file
// size limits, sessions, descriptors, zombies and symbolic links.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include "app/startup.h"
#include "e2e_fixture.h"

namespace {

const char cyan[] = "\x1b[96m";
const char red[] = "\x1b[91m";
const char yellow[] = "\x1b[93m";
const char reset[] = "\x1b[0m";

// A stamped line on a terminal: its colour, the line, and the reset that
// returns the terminal to its own colour.
std::string coloured(const char* colour, const std::string& message)
{
    return colour + ("[HH:MM:SS] " + message + "\n") + reset;
}

class on_posix : public molv_test {
protected:
    // Starts molv as `launch` says, lets its first server end, waits for
    // the backup and the restart, and stops molv and the restarted server.
    // The stand-in's records count on over every run.
    void back_up_once(const molv_launch& launch)
    {
        const std::size_t first = server_records().size() + 1;
        ASSERT_TRUE(start_molv(launch, molv));
        ASSERT_TRUE(wait_until(
            [&] {
                return (server_records().size() >= first &&
                        count_message(output(), running) >= 1) ||
                       wait_for_end(molv, 0);
            },
            deadline_seconds));
        // The system may refuse to start molv as the launch asks.
        if (molv.ended) {
            return;
        }
        stop_server(server_records()[first - 1].number("pid"), work);
        ASSERT_TRUE(wait_until(
            [&] {
                return server_records().size() >= first + 1 &&
                       count_message(output(), running) >= 2;
            },
            deadline_seconds));
        // The server of the run before, which ended while no molv ran, had
        // its log backed up before the first launch.
        const std::vector<std::string> cycle = cycle_messages(output());
        EXPECT_EQ(std::count(cycle.begin(), cycle.end(), backing_up), 1) << output();
        stop_molv(molv);
        stop_server(server_records()[first].number("pid"), work);
    }

    // The backup that holds `content`, or an empty name.
    std::string backup_holding(const std::string& content) const
    {
        for (const std::string& name : dated_backups(work)) {
            if (read_file(work + "/" + name) == content) {
                return name;
            }
        }
        return "";
    }

    mode_t mode_of(const std::string& name) const
    {
        struct stat info {};
        return stat((work + "/" + name).c_str(), &info) == 0 ? info.st_mode & 07777 : 07777;
    }
};

// A server started by a wrapper script that does not `exec` it, the usual
// shape of a script that runs the game under Wine: the shell leads the
// session and ends at the first SIGTERM, the game is its child.
class wrapped_server : public on_posix {
protected:
    unsigned port = 0;

    void SetUp() override
    {
        on_posix::SetUp();
        port = free_udp_port();
        ASSERT_NE(port, 0u);
        ASSERT_TRUE(install_server(work, "game.bin"));
    }

    // The wrapper's `body` after its first line, and the settings that name
    // it with `more` after them.
    void install_wrapper(const std::string& body, const std::string& more)
    {
        ASSERT_TRUE(write_file(work + "/deusex.sh", "#!/bin/sh\n" + body));
        ASSERT_EQ(chmod((work + "/deusex.sh").c_str(), 0755), 0) << std::strerror(errno);
        write_immediate_settings("[GENERAL]\nexename=deusex.sh\n" + more);
    }

    std::string watched(unsigned hang_timeout, unsigned stop_timeout) const
    {
        return "query_port=" + std::to_string(port) + "\nhang_timeout=" +
               std::to_string(hang_timeout) + "\nstop_timeout=" + std::to_string(stop_timeout) +
               "\n";
    }

    std::vector<std::string> answering_then(const std::string& stop_manner) const
    {
        return {"MOLV_STANDIN_QUERY_PORT=" + std::to_string(port),
                "MOLV_STANDIN_QUERY=silent_after_1,answer", "MOLV_STANDIN_STOP=" + stop_manner,
                "MOLV_STANDIN_HOLD=1,2"};
    }

    // Instance 1's stop, then the next launch, which came only after the
    // game itself was gone.
    void expect_stop_then_start(const std::vector<std::string>& stop)
    {
        ASSERT_TRUE(wait_for_instance(2));
        std::vector<std::string> expected = {starting, running};
        expected.insert(expected.end(), stop.begin(), stop.end());
        expected.insert(expected.end(), {backing_up, restarting, running});
        EXPECT_EQ(cycle_messages(output()), expected);
        EXPECT_EQ(server_records().at(1).get("previous_alive"), "0");
        EXPECT_EQ(server_records().at(1).get("leader"), "0");
    }
};

const char plain_wrapper[] = "./game.bin \"$@\"\n";
const char hang_line[] = "  WARNING: Gameserver has not answered for 2 seconds! Stopping it...";

// A log of every byte value, larger than one request for a copy in the
// kernel and not a multiple of one.
std::string binary_log(const std::string& head)
{
    std::string content = head;
    content.resize(9 * 1024 * 1024 + 5);
    for (std::size_t i = head.size(); i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    }
    return content;
}

} // namespace

TEST_F(on_posix, OnATerminalEveryStampedLineIsColouredAndReset)
{
    molv_launch launch;
    launch.directory = work;
    launch.output_path = output_path;
    terminal_run run;
    ASSERT_TRUE(run_in_terminal(launch, deadline_seconds, run)) << run.output;
    EXPECT_EQ(run.exit_code, cannot_start_status);

    std::string expected = "\x1b]0;MOLV\x07";
    for (const char* line : banner_lines) {
        expected += coloured(cyan, line);
    }
    expected += "\n";
    expected += coloured(yellow, "  WARNING: Config file not found. Using default settings.");
    expected += coloured(reset, "  > Loaded settings:");
    expected += "             - Exe:           deusex.exe\n"
                "             - Log:           server.log\n"
                "             - bMTL:          False    \n"
                "             - Game type:     DeathMatchGame\n"
                "             - Max. players:  10\n"
                "             - Startmap:      DXMP_Area51_Bunker\n"
                "\n\n";
    expected += coloured(red, "  ERROR: Executeable not found!");
    expected += "\nPress any key to continue . . . ";
    // What follows the prompt depends on when the key arrived.
    EXPECT_EQ(mask_stamps(run.output).substr(0, expected.size()), expected);
}

TEST_F(on_posix, FailedCopyIsReportedLeavesNoFileAndTheCycleGoesOn)
{
    // The log is larger than molv may write, so every copy fails part way.
    const unsigned long limit = 64 * 1024;
    const std::string log(4 * limit, 'L');
    ASSERT_TRUE(write_file(work + "/server.log", log));
    write_immediate_settings("[GENERAL]\non_event=events.exe\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(install_server(work, "events.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=4", "MOLV_STANDIN_LOG=0"},
          input_kind::null_device, limit);
    ASSERT_TRUE(wait_for_instance(4));

    const std::string failed = std::string("  WARNING: Log backup failed: ") + std::strerror(EFBIG);
    std::vector<std::string> expected = {"  > Starting gameserver...",
                                         "  > Gameserver is now running."};
    for (int i = 0; i < 3; ++i) {
        expected.insert(expected.end(), {"  WARNING: Server crashed or closed!", failed,
                                         "  > Restarting...", "  > Gameserver is now running."});
    }
    std::vector<std::string> messages = stamped_messages(output());
    // Event programs still running may turn later events away; that is
    // another matter.
    messages.erase(std::remove_if(messages.begin(), messages.end(),
                                  [](const std::string& message) {
                                      return message.find("on_event program is still busy") !=
                                             std::string::npos;
                                  }),
                   messages.end());
    messages.erase(messages.begin(), messages.end() - static_cast<long>(
                                         std::min(messages.size(), expected.size())));
    EXPECT_EQ(messages, expected);
    EXPECT_EQ(file_names(work),
              (std::vector<std::string>{"deusex.exe", "events.exe", "molv.ini", "molv.lock",
                                        "server.log"}));
    // The first failure (the third event, so never turned away) reaches the
    // event program with its reason.
    const std::string event = std::string("event=backup_failed\tdetail=") + std::strerror(EFBIG) + "\t";
    EXPECT_TRUE(wait_until(
        [&] {
            const std::string events = read_file(records + "/events.txt");
            std::size_t count = 0;
            for (std::size_t at = events.find(event); at != std::string::npos;
                 at = events.find(event, at + 1)) {
                ++count;
            }
            return count >= 1;
        },
        deadline_seconds));
    EXPECT_EQ(read_file(work + "/server.log"), log);
}

TEST_F(on_posix, ServerLeadsASessionOfItsOwnWithNoInput)
{
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));

    const standin_record server = server_records()[0];
    EXPECT_EQ(server.get("leader"), "1");
    EXPECT_EQ(server.number("session"), server.number("pid"));
    EXPECT_NE(server.number("session"), session_of(molv.id));
    EXPECT_EQ(server.get("input_null"), "1");
}

TEST_F(on_posix, TwoHundredRestartsLeaveNoDescriptorAndNoZombieBehind)
{
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=2,201"});

    // Instance 2 runs after the first restart, instance 201 after the 200th;
    // molv waits for each of them, holding what it holds between launches.
    ASSERT_TRUE(wait_for_instance(2));
    const int after_first = open_descriptor_count(molv.id);
    ASSERT_GT(after_first, 0);
    stop_server(server_records()[1].number("pid"), work);

    ASSERT_TRUE(wait_for_instance(201));
    EXPECT_EQ(open_descriptor_count(molv.id), after_first);
    EXPECT_EQ(zombie_children(molv.id), 0);
    EXPECT_EQ(count_message(output(), "  > Restarting..."), 200u);
    EXPECT_EQ(count_message(output(), "  > Backing up the log..."), 200u);
}

TEST_F(on_posix, BackupsTakeTheLogsPermissionBitsWhateverTheUmask)
{
    // molv runs without root's right to read any file, as a service user
    // does, so the copy is named the way open to everyone.
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    molv_launch launch = launch_in_work({"MOLV_STANDIN_HOLD=1,2,3,4", "MOLV_STANDIN_LOG=0"});
    launch.without_read_override = true;
    const std::string log = work + "/server.log";
    const mode_t modes[] = {0600, 0640};
    const mode_t before = umask(022);
    for (std::size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(write_file(log, "log of mode " + std::to_string(modes[i]) + "\n"));
        ASSERT_EQ(chmod(log.c_str(), modes[i]), 0) << std::strerror(errno);
        back_up_once(launch);
        if (molv.exited) {
            umask(before);
            if (molv.exit_code == 125) {
                GTEST_SKIP() << "this system does not let a test drop root's right to read any file";
            }
            FAIL() << "molv ended with status " << molv.exit_code;
        }
    }
    umask(before);
    for (mode_t mode : modes) {
        const std::string backup = backup_holding("log of mode " + std::to_string(mode) + "\n");
        ASSERT_NE(backup, "") << "no backup of the log of mode " << std::oct << mode;
        EXPECT_EQ(mode_of(backup), mode) << backup;
    }
    EXPECT_EQ(working_copies(work), std::vector<std::string>{});
}

TEST_F(on_posix, CopyInTheKernelAndThroughMolvGiveTheSameBackups)
{
    // A log on another file system than the backups (tmpfs), which the
    // kernel does not copy between, goes the way through molv; one beside
    // the backups goes through the kernel.
    char pattern[] = "/dev/shm/molv-e2e-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        GTEST_SKIP() << "no /dev/shm: " << std::strerror(errno);
    }
    struct remove_on_exit {
        std::string path;
        ~remove_on_exit() { remove_tree(path); }
    } elsewhere{pattern};
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    const std::string logs[] = {elsewhere.path + "/server.log", work + "/server.log"};
    for (const std::string& log : logs) {
        ASSERT_TRUE(write_file(log, binary_log(log)));
        write_immediate_settings("[GENERAL]\nlogfile=" + log + "\n");
        back_up_once(launch_in_work({"MOLV_STANDIN_HOLD=1,2,3,4", "MOLV_STANDIN_LOG=0"}));
    }
    for (const std::string& log : logs) {
        EXPECT_NE(backup_holding(binary_log(log)), "") << "no whole backup of " << log;
    }
    // And the second run began with a backup of its log, as the last server
    // of the first ended while no molv ran.
    EXPECT_EQ(dated_backups(work).size(), 3u);
    EXPECT_EQ(working_copies(work), std::vector<std::string>{});
}

TEST_F(on_posix, OldLinkNamedLikeABackupIsLeftAsItIs)
{
    // Both the link and the file it leads to are old; only plain files
    // named like backups are removed, never a link or what it leads to.
    write_immediate_settings("[GENERAL]\nlogfile_backups_days=1\n");
    ASSERT_TRUE(write_file(root + "/elsewhere.log", "not molv's"));
    ASSERT_TRUE(set_modified_ago(root + "/elsewhere.log", 10 * 86400));
    const std::string link = work + "/1.2.2025__10_00_00.log";
    ASSERT_EQ(symlink((root + "/elsewhere.log").c_str(), link.c_str()), 0) << std::strerror(errno);
    const timespec old_times[2] = {{std::time(nullptr) - 10 * 86400, 0},
                                   {std::time(nullptr) - 10 * 86400, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, link.c_str(), old_times, AT_SYMLINK_NOFOLLOW), 0)
        << std::strerror(errno);
    ASSERT_TRUE(write_file(work + "/2.2.2025__10_00_00.log", "old"));
    ASSERT_TRUE(set_modified_ago(work + "/2.2.2025__10_00_00.log", 10 * 86400));
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=2"});
    ASSERT_TRUE(wait_for_instance(2));

    EXPECT_EQ(cycle_messages(output()),
              expected_cycle({{backing_up, "  > Removed 1 old log backup."}}));
    EXPECT_EQ(read_file(link), "not molv's");
    EXPECT_FALSE(file_exists(work + "/2.2.2025__10_00_00.log"));
}

TEST_F(wrapped_server, HangStopForcesTheGameThatIgnoresItBeforeTheNextStart)
{
    install_wrapper(plain_wrapper, watched(2, 2));
    start(answering_then("ignore,honour"));
    expect_stop_then_start(
        {hang_line, "  WARNING: Gameserver did not stop within 2 seconds; ending it by force.",
         stopped});
}

TEST_F(wrapped_server, GameThatClosesWithinTheStopTimeoutGetsItsTime)
{
    install_wrapper(plain_wrapper, watched(2, 5));
    start(answering_then("slow_2000,honour"));
    expect_stop_then_start({hang_line, stopped});
    EXPECT_EQ(read_file(records + "/closed-1.txt"), "closed\n");
}

TEST_F(wrapped_server, ProcessLeftByACrashedServerIsStoppedBeforeTheNextStart)
{
    // The first time the wrapper leaves the game running and ends.
    install_wrapper("if [ -e once ]; then exec ./game.bin \"$@\"; fi\n"
                    ": > once\n./game.bin \"$@\" &\nsleep 1\nexit 3\n",
                    "");
    start({"MOLV_STANDIN_HOLD=1,2", "MOLV_STANDIN_STOP=slow_100"});
    ASSERT_TRUE(wait_for_instance(2));
    EXPECT_EQ(cycle_messages(output()),
              expected_cycle(1, {"  WARNING: The gameserver left 1 process running; stopping it...",
                                 backing_up}));
    EXPECT_EQ(server_records().at(1).get("previous_alive"), "0");
    EXPECT_EQ(read_file(records + "/closed-1.txt"), "closed\n");
}

TEST_F(wrapped_server, AsAContainersFirstProcessMolvGivesTheWholeServerItsTimeToClose)
{
    const std::string refused = isolation_refused(isolation_kind::pid_namespace);
    if (!refused.empty()) {
        GTEST_SKIP() << refused;
    }
    install_wrapper(plain_wrapper, "stop_timeout=5\n");
    molv_launch launch = launch_in_work({"MOLV_STANDIN_HOLD=1", "MOLV_STANDIN_STOP=slow_2000"});
    launch.isolation = isolation_kind::pid_namespace;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_instance(1));

    ASSERT_EQ(kill(static_cast<pid_t>(molv.id), SIGTERM), 0);
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_TRUE(molv.exited) << "ended by signal " << molv.end_signal;
    EXPECT_EQ(cycle_messages(output()),
              (std::vector<std::string>{starting, running, stopped, backing_up}));
    EXPECT_EQ(read_file(records + "/closed-1.txt"), "closed\n");
}

// A log that is there but cannot be read: a folder, or a file of mode 000
// to a molv without root's right to read any file.
TEST_F(on_posix, LogThatCannotBeReadIsAFailedBackupNotAMissingLog)
{
    ASSERT_TRUE(make_directory(work + "/logs"));
    ASSERT_TRUE(write_file(work + "/locked.log", "the server's log"));
    ASSERT_EQ(chmod((work + "/locked.log").c_str(), 0), 0) << std::strerror(errno);
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(install_server(work, "events.exe"));
    const struct {
        const char* logfile;
        int error;
    } cases[] = {{"logs", EISDIR}, {"locked.log", EACCES}};
    for (const auto& item : cases) {
        SCOPED_TRACE(item.logfile);
        ASSERT_TRUE(write_file(records + "/events.txt", ""));
        write_immediate_settings(std::string("[GENERAL]\nlogfile=") + item.logfile +
                                 "\non_event=events.exe\n");
        molv_launch launch =
            launch_in_work({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=2,4", "MOLV_STANDIN_LOG=0"});
        launch.without_read_override = true;
        ASSERT_TRUE(start_molv(launch, molv));
        ASSERT_TRUE(wait_until(
            [&] { return count_message(output(), running) >= 2 || wait_for_end(molv, 0); },
            deadline_seconds));
        if (molv.ended && molv.exit_code == 125) {
            GTEST_SKIP() << "this system does not let a test drop root's right to read any file";
        }
        const std::string failed =
            std::string("  WARNING: Log backup failed: ") + std::strerror(item.error);
        EXPECT_EQ(cycle_messages(output()), expected_cycle(1, {failed}));
        const std::string event =
            std::string("event=backup_failed\tdetail=") + std::strerror(item.error) + "\t";
        EXPECT_TRUE(wait_until(
            [&] { return read_file(records + "/events.txt").find(event) != std::string::npos; },
            deadline_seconds));
        stop_molv(molv);
        stop_server(server_records().back().number("pid"), work);
        // The next case launches a server of its own, even while this one
        // is still closing.
        std::remove((work + "/molv.lock").c_str());
    }
}

namespace {

// What a command run beside molv printed and its status, run as the user
// `uid` (root's own where it is 0).
struct asked_result {
    int status = -1;
    std::string output;
};

asked_result run_as(const std::string& directory, const std::string& option, uid_t uid,
                    const std::string& output_path)
{
    asked_result result;
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 || chdir(directory.c_str()) != 0 ||
            (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0))) {
            _exit(120);
        }
        execl(molv_program.c_str(), molv_program.c_str(), option.c_str(), static_cast<char*>(nullptr));
        _exit(121);
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.output = read_file(output_path);
    return result;
}

} // namespace

TEST_F(on_posix, CtrlCOrAStopSignalEndsMolvAloneAndTheNextTakesTheServerBack)
{
    write_settings("[GENERAL]\nstatus_file=molv.prom\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    molv_launch launch = launch_in_work({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_instance(1));
    const std::string server = server_records().at(0).get("pid");
    // Each MOLV in turn finds the same server and leaves it running.
    int turn = 0;
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        if (turn++ > 0) {
            launch.output_path = root + "/output-" + std::to_string(turn) + ".txt";
            ASSERT_TRUE(start_molv(launch, molv));
            ASSERT_TRUE(wait_until(
                [&] {
                    return count_message(read_output(launch.output_path),
                                         "  > Found the gameserver still running (process " +
                                             server + "); watching it.") == 1;
                },
                deadline_seconds));
        }
        ASSERT_EQ(kill(static_cast<pid_t>(molv.id), signal_number), 0);
        ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
        EXPECT_EQ(molv.end_signal, signal_number);
        const std::vector<std::string> messages = stamped_messages(read_output(launch.output_path));
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(),
                  "  > MOLV is ending; the gameserver keeps running (process " + server + ").");
        EXPECT_TRUE(std::regex_search(read_file(work + "/molv.prom"),
                                      std::regex("\nmolv_up\\{[^}]*\\} 0\n")));
        EXPECT_EQ(kill(static_cast<pid_t>(std::stol(server)), 0), 0) << "the server was ended";
        const asked_result status = run_as(work, "--status", 0, root + "/status.txt");
        EXPECT_EQ(status.status, 3);
        EXPECT_EQ(status.output, "MOLV is not running in this folder.\nThe gameserver is running "
                                 "without a MOLV (process " +
                                     server + "); a MOLV started here takes it over.\n");
        molv = molv_process();
    }
    EXPECT_EQ(server_records().size(), 1u);
    EXPECT_TRUE(dated_backups(work).empty());
}

TEST_F(on_posix, OnlyTheUserOfMolvAndRootMayAskItAndAStaleRecordIsNeverSignalled)
{
    // A process under the record's id that is not that MOLV: it would end
    // at a request's signal.
    const pid_t bystander = fork();
    if (bystander == 0) {
        for (;;) {
            pause();
        }
    }
    ASSERT_GT(bystander, 0);
    char boot[64] = "";
    std::FILE* file = std::fopen("/proc/sys/kernel/random/boot_id", "r");
    ASSERT_NE(file, nullptr);
    ASSERT_NE(std::fgets(boot, sizeof boot, file), nullptr);
    std::fclose(file);
    boot[std::strcspn(boot, "\n")] = '\0';
    for (const std::string& since : {std::string("1 ") + boot, std::string("99999999999 other"),
                                     std::string("99999999999")}) {
        ASSERT_TRUE(write_file(work + "/molv.lock", "molv " + std::to_string(bystander) +
                                                         "\nsince 1765275100 " + since + "\nend\n"));
        for (const char* option : {"--restart", "--stop", "--status"}) {
            const asked_result asked = run_as(work, option, 0, root + "/asked.txt");
            EXPECT_EQ(asked.status, 3) << since << option;
            EXPECT_EQ(asked.output, "MOLV is not running in this folder.\n") << since << option;
        }
    }
    EXPECT_EQ(kill(bystander, 0), 0) << "a request reached a process that is not MOLV";
    kill(bystander, SIGKILL);
    waitpid(bystander, nullptr, 0);
    std::remove((work + "/molv.lock").c_str());

    if (geteuid() != 0) {
        GTEST_SKIP() << "another user's request needs root to switch users";
    }
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));
    // The folder readable for the other user, as a server's folder is.
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    ASSERT_EQ(chmod(work.c_str(), 0755), 0);
    const uid_t nobody = 65534;
    const std::string nobody_output = root + "/nobody.txt";
    const asked_result status = run_as(work, "--status", nobody, nobody_output);
    EXPECT_EQ(status.status, 0) << status.output;
    for (const char* option : {"--restart", "--stop"}) {
        const asked_result refused = run_as(work, option, nobody, nobody_output);
        EXPECT_EQ(refused.status, 4) << option;
        EXPECT_EQ(refused.output, "Not allowed to ask MOLV (process " + std::to_string(molv.id) +
                                      "): " + std::strerror(EPERM) + ".\n")
            << option;
    }
    EXPECT_FALSE(wait_for_end(molv, 0));
    EXPECT_EQ(count_message(output(), "  > Restart asked: stopping the gameserver..."), 0u);
    const asked_result restart = run_as(work, "--restart", 0, root + "/root.txt");
    EXPECT_EQ(restart.status, 0) << restart.output;
    ASSERT_TRUE(wait_for_message("  > Restart asked: stopping the gameserver..."));
}

TEST_F(on_posix, TheFirstLineOfANewDayComesAfterTheDate)
{
    // A time zone whose clock shows 23:59:50 now: the day changes while the
    // first server runs, and the line of its end is the first of the new day.
    const std::time_t now = std::time(nullptr);
    const long shift = (86390 - static_cast<long>(now % 86400) + 86400) % 86400;
    char zone[32];
    std::snprintf(zone, sizeof zone, "TZ=MOLV-%02ld:%02ld:%02ld", shift / 3600, shift / 60 % 60,
                  shift % 60);
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({zone, "MOLV_STANDIN_RUN_MS=14000", "MOLV_STANDIN_HOLD=2"});
    ASSERT_TRUE(wait_for_instance(2));
    const std::vector<std::string> lines = text_lines(output());
    const auto running_line = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(running) != std::string::npos;
    });
    ASSERT_NE(running_line, lines.end());
    if (running_line->compare(0, 7, "[23:59:") != 0) {
        GTEST_SKIP() << "molv started too slowly to see the day change: " << *running_line;
    }
    const std::time_t tomorrow = now + shift + 60;
    std::tm day{};
    gmtime_r(&tomorrow, &day);
    char expected[64];
    const char* const names[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
    std::snprintf(expected, sizeof expected, "  > Date: %04d-%02d-%02d (%s).", day.tm_year + 1900,
                  day.tm_mon + 1, day.tm_mday, names[day.tm_wday]);
    EXPECT_EQ(count_message(output(), expected), 1u) << output();
    std::vector<std::string> messages = cycle_messages(output());
    EXPECT_EQ(messages, std::vector<std::string>(
                            {starting, running, expected, ended, backing_up, restarting, running}));
}
