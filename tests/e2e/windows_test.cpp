// End-to-end checks that only Windows can make: the handles molv holds and
// the program CreateProcessA really starts.
//
// Some of what Windows shows cannot be seen when these tests run under Wine
// without a display. The server's CREATE_NEW_CONSOLE gives it a console with
// no window, so no test sees the window an operator gets at every launch, nor
// that Ctrl+C in molv's window does not reach the server's. Wine's
// GetProcessHandleCount answers 0 for every process, so the runner counts
// molv's entries in the system's table of all handles instead, which Wine
// keeps as Windows does. And a crash is only imitated: the stand-in ends
// with the code of an access violation rather than raising one, so no
// error report dialog is ever involved.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "e2e_fixture.h"

namespace {

// The full path of the program a running process was started from, or empty.
std::string program_of(long id)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 static_cast<DWORD>(id));
    if (process == nullptr) {
        return "";
    }
    char image[MAX_PATH];
    DWORD length = sizeof image;
    std::string program;
    if (QueryFullProcessImageNameA(process, 0, image, &length) != 0) {
        program.assign(image, length);
    }
    CloseHandle(process);
    return program;
}

class on_windows : public molv_test {};

} // namespace

TEST_F(on_windows, TwoHundredRestartsLeaveNoHandleBehind)
{
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=4,201"});

    // Instance 4 runs after the third restart, instance 201 after the
    // 200th; molv waits for each of them, holding what it holds between
    // launches. The first few launches are let pass before counting, so
    // that what the system sets up once for a process that starts others
    // is already in the count.
    ASSERT_TRUE(wait_for_instance(4));
    const int after_first = open_descriptor_count(molv.id);
    ASSERT_GT(after_first, 0);
    stop_server(server_records()[3].number("pid"), work);

    ASSERT_TRUE(wait_for_instance(201));
    EXPECT_LE(open_descriptor_count(molv.id), after_first);
    EXPECT_EQ(count_message(output(), "  > Restarting..."), 200u);
    EXPECT_EQ(count_message(output(), "  > Backing up the log..."), 200u);
}

TEST_F(on_windows, NameWithABlankStartsThatFileNotOneNamedByItsFirstWord)
{
    // Started from its command line alone, "my server.exe DXMP_..." would
    // run "my.exe", which is searched first; molv names the checked file
    // itself.
    write_settings("[GENERAL]\nexename=my server.exe\n");
    ASSERT_TRUE(install_server(work, "my server.exe"));
    ASSERT_TRUE(install_server(work, "my.exe"));
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));

    const std::string program = program_of(server_records()[0].number("pid"));
    const std::string name = "\\my server.exe";
    ASSERT_GT(program.size(), name.size()) << program;
    EXPECT_EQ(program.substr(program.size() - name.size()), name);
    EXPECT_EQ(server_records().size(), 1u);
}

TEST_F(on_windows, KilledMolvLeavesNoPartialBackupAndItsWorkingCopyGoesAtTheNextBackup)
{
    // A log of 256 MB whose copy takes a while: molv is ended with
    // TerminateProcess while it copies, or just after where it was faster.
    const std::string log = work + "\\server.log";
    ASSERT_TRUE(write_file(log, "MOLV stand-in server log\n"));
    std::error_code error;
    std::filesystem::resize_file(log, 256u << 20, error);
    ASSERT_FALSE(error) << error.message();
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    const std::vector<std::string> environment = {"MOLV_STANDIN_HOLD=1,2,3",
                                                  "MOLV_STANDIN_LOG=0"};
    start(environment);
    ASSERT_TRUE(wait_for_instance(1));
    stop_server(server_records()[0].number("pid"), work);
    ASSERT_TRUE(wait_until(
        [&] { return !working_copies(work).empty() || count_message(output(), backing_up) > 0; },
        deadline_seconds));
    stop_molv(molv);

    // Under a backup name there is the whole log or nothing.
    const std::vector<std::string> first_run = dated_backups(work);
    EXPECT_LE(first_run.size(), 1u);
    for (const std::string& name : first_run) {
        EXPECT_TRUE(same_content(work + "\\" + name, log)) << name << " is not the whole log";
    }

    // Whether or not the copy was caught under way, a working copy of the
    // ended molv is there for the next run to remove; a folder of that
    // form is not a copy and stays.
    const std::string killed = std::to_string(molv.id);
    ASSERT_TRUE(write_file(work + "\\.molv-backup-" + killed + "-999.tmp", "part of a copy"));
    ASSERT_TRUE(make_directory(work + "\\.molv-backup-" + killed + "-998.tmp"));
    const std::string next_log = "MOLV stand-in server log of the next run\n";
    ASSERT_TRUE(write_file(log, next_log));
    start(environment);
    ASSERT_TRUE(wait_until(
        [&] { return server_records().size() >= 2 && count_message(output(), running) >= 1; },
        deadline_seconds));
    stop_server(server_records()[1].number("pid"), work);
    ASSERT_TRUE(wait_for_message(backing_up));
    // The restarted server is let start, so that it is stopped at the end.
    ASSERT_TRUE(wait_until(
        [&] { return server_records().size() >= 3 && count_message(output(), running) >= 2; },
        deadline_seconds));

    EXPECT_EQ(working_copies(work), std::vector<std::string>{});
    EXPECT_TRUE(std::filesystem::is_directory(work + "\\.molv-backup-" + killed + "-998.tmp"));
    std::vector<std::string> second_run;
    for (const std::string& name : dated_backups(work)) {
        if (std::find(first_run.begin(), first_run.end(), name) == first_run.end()) {
            second_run.push_back(name);
        }
    }
    ASSERT_EQ(second_run.size(), 1u);
    EXPECT_EQ(read_file(work + "\\" + second_run[0]), next_log);
}

TEST_F(on_windows, FileThatIsNoProgramIsReportedInASentenceThatNamesIt)
{
    write_settings("[GENERAL]\nexename=srv.exe\n");
    ASSERT_TRUE(write_file(work + "/srv.exe", "This is a text file, not a program.\r\n"));
    start();
    const std::string failed = "  WARNING: Could not start the gameserver: ";
    std::string message;
    ASSERT_TRUE(wait_until(
        [&] {
            for (const std::string& line : stamped_messages(output())) {
                if (line.compare(0, failed.size(), failed) == 0) {
                    message = line;
                    return true;
                }
            }
            return false;
        },
        deadline_seconds))
        << output();
    // The system's text for this names the file through an insert, which
    // must never show as such.
    EXPECT_EQ(message.find('%'), std::string::npos) << message;
    EXPECT_NE(message.find("srv.exe"), std::string::npos) << message;
    EXPECT_GT(message.size(), failed.size() + std::string("srv.exe").size()) << message;
    EXPECT_TRUE(server_records().empty());
}

TEST_F(on_windows, ServerWhoseFirstThreadEndsIsNotRestartedUntilItsProcessEnds)
{
    write_immediate_settings();
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_OTHER_THREAD=1", "MOLV_STANDIN_RUN_MS=1500", "MOLV_STANDIN_HOLD=2"});
    ASSERT_TRUE(wait_for_instance(2));

    EXPECT_EQ(cycle_messages(output()), expected_cycle(1, {backing_up}));
    EXPECT_EQ(server_records().at(1).get("previous_alive"), "0");
}

TEST_F(on_windows, ForcedStopOfABatchFileEndsTheGameItStartedToo)
{
    const unsigned port = free_udp_port();
    ASSERT_NE(port, 0u);
    write_immediate_settings("[GENERAL]\nexename=server.bat\nquery_port=" + std::to_string(port) +
                             "\nhang_timeout=2\nstop_timeout=2\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(write_file(work + "/server.bat", "@\"%~dp0deusex.exe\" %*\r\n"));
    start({"MOLV_STANDIN_QUERY_PORT=" + std::to_string(port),
           "MOLV_STANDIN_QUERY=silent_after_1,answer", "MOLV_STANDIN_STOP=ignore,honour",
           "MOLV_STANDIN_HOLD=1,2"});
    ASSERT_TRUE(wait_for_instance(2)) << output();

    EXPECT_EQ(cycle_messages(output()),
              (std::vector<std::string>{
                  starting, running,
                  "  WARNING: Gameserver has not answered for 2 seconds! Stopping it...",
                  "  WARNING: Gameserver did not stop within 2 seconds; ending it by force.",
                  stopped, backing_up, restarting, running}));
    EXPECT_EQ(server_records().at(1).get("previous_alive"), "0");
}

TEST_F(on_windows, InheritableHandleGivenToMolvReachesNeitherTheServerNorAnEventProgram)
{
    // A launcher's lock file, inheritable: molv inherits it from the runner
    // under the same value.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE lock = CreateFileA((root + "\\launcher.lock").c_str(), GENERIC_WRITE, 0, &inheritable,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE) << GetLastError();
    write_settings("[GENERAL]\non_event=events.exe\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(install_server(work, "events.exe"));
    start({"MOLV_STANDIN_HOLD=1", "MOLV_STANDIN_EVENT_SLEEP_MS=600000"});
    ASSERT_TRUE(wait_for_instance(1));
    long event_program = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            const std::string events = read_file(records + "/events.txt");
            const std::size_t at = events.find("\tpid=");
            event_program = at == std::string::npos ? 0 : std::atol(events.c_str() + at + 5);
            return event_program != 0;
        },
        deadline_seconds));

    const long server = server_records().at(0).number("pid");
    ASSERT_EQ(inheritable_handles_of_value(GetCurrentProcessId(), lock), 1);
    EXPECT_EQ(inheritable_handles_of_value(server, lock), 0);
    EXPECT_EQ(inheritable_handles_of_value(event_program, lock), 0);
    // molv keeps it, but as its own.
    EXPECT_EQ(inheritable_handles_of_value(molv.id, lock), 0);
    CloseHandle(lock);
}
