// An operator's hands on Windows: molv --status, --restart and --stop from
// another console reach the MOLV of the folder through its request pipe, and
// nothing else; Ctrl+C ends MOLV alone. Under Wine every process runs as one
// user, so no test here sees a request refused to another user, and no close
// of MOLV's window can be made.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "platform/lock_record.h"
#include "platform/win32/request_pipe.h"

namespace {

constexpr char no_molv[] = "MOLV is not running in this folder.\n";

// Whether the process still runs `grace_ms` from now.
bool runs_after(long id, DWORD grace_ms)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) {
        return false;
    }
    const bool runs = WaitForSingleObject(process, grace_ms) == WAIT_TIMEOUT;
    CloseHandle(process);
    return runs;
}

// The second of the day of the first line that says `message`; -1 for none.
long stamp_of(const std::string& output, const std::string& message)
{
    for (const std::string& line : text_lines(output)) {
        if (line.size() > 11 && line[0] == '[' &&
            line.compare(11, std::string::npos, message) == 0) {
            return std::stol(line.substr(1, 2)) * 3600 + std::stol(line.substr(4, 2)) * 60 +
                   std::stol(line.substr(7, 2));
        }
    }
    return -1;
}

// The messages after the first one that says `message`.
std::vector<std::string> messages_after(const std::string& output, const std::string& message)
{
    std::vector<std::string> messages = stamped_messages(output);
    auto at = std::find(messages.begin(), messages.end(), message);
    return at == messages.end() ? std::vector<std::string>{}
                                : std::vector<std::string>(at + 1, messages.end());
}

// A pipe under the request pipe's name of a folder, made by the test, which
// notes whether anything was ever written to it.
struct squatted_pipe {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED step = {};

    bool make(const std::string& folder)
    {
        wchar_t name[request_pipe_name_capacity];
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr ||
            !request_pipe_name(wide_text(folder).c_str(), name, request_pipe_name_capacity)) {
            return false;
        }
        pipe = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 64, 64, 0, nullptr);
        return pipe != INVALID_HANDLE_VALUE && listen();
    }

    bool listen()
    {
        step = OVERLAPPED{};
        step.hEvent = event;
        ResetEvent(event);
        return ConnectNamedPipe(pipe, &step) || GetLastError() == ERROR_IO_PENDING ||
               GetLastError() == ERROR_PIPE_CONNECTED;
    }

    // Whether a client came since the last look, and the bytes it wrote
    // before it went (it has gone); listens again after one came.
    bool client_came(DWORD& written)
    {
        written = 0;
        DWORD ignored = 0;
        if (WaitForSingleObject(event, 0) != WAIT_OBJECT_0 ||
            (!GetOverlappedResult(pipe, &step, &ignored, FALSE) &&
             GetLastError() != ERROR_PIPE_CONNECTED)) {
            return false;
        }
        char message[64];
        OVERLAPPED read = {};
        read.hEvent = event;
        ResetEvent(event);
        // A read that fails at once (the client has closed its end) leaves
        // nothing to collect.
        if (ReadFile(pipe, message, sizeof message, nullptr, &read) ||
            GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(event, 2000) != WAIT_OBJECT_0) {
                CancelIo(pipe);
            }
            if (!GetOverlappedResult(pipe, &read, &written, TRUE)) {
                written = GetLastError() == ERROR_MORE_DATA ? sizeof message : 0;
            }
        } else if (GetLastError() == ERROR_MORE_DATA) {
            written = sizeof message;
        }
        DisconnectNamedPipe(pipe);
        listen();
        return true;
    }

    ~squatted_pipe()
    {
        if (pipe != INVALID_HANDLE_VALUE) {
            CancelIo(pipe);
            CloseHandle(pipe);
        }
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
};

class requests_on_windows : public molv_test {
protected:
    std::string status_path() const { return work + "\\molv.prom"; }

    bool wait_for_status(const std::string& series, const std::string& value)
    {
        return wait_until([&] { return status_values(status_path())[series] == value; },
                          deadline_seconds);
    }
};

} // namespace

TEST_F(requests_on_windows, ControlCommandsWithoutTheMolvOfTheFolderAskNothing)
{
    // A MOLV of another folder, whose record is copied here as a stale one
    // would be, and a pipe under this folder's name that it does not serve.
    const std::string elsewhere = root + "\\elsewhere";
    ASSERT_TRUE(make_directory(elsewhere));
    ASSERT_TRUE(write_file(elsewhere + "\\molv.ini", "[GENERAL]\nmin_uptime=0\n"));
    ASSERT_TRUE(install_server(elsewhere, "deusex.exe"));
    molv_launch launch = launch_in_work({"MOLV_STANDIN_HOLD=1"});
    launch.directory = elsewhere;
    launch.output_path = second_output_path;
    squatted_pipe squatter;

    struct row {
        const char* folder_state;
        const char* option;
    };
    const row rows[] = {
        {"empty", "--status"},        {"empty", "--restart"},        {"empty", "--stop"},
        {"another's record", "--restart"}, {"another's record", "--stop"},
    };
    for (const row& step : rows) {
        SCOPED_TRACE(std::string(step.folder_state) + " " + step.option);
        if (std::string(step.folder_state) == "another's record" && !other_molv.handle) {
            ASSERT_TRUE(start_molv(launch, other_molv));
            ASSERT_TRUE(wait_until(
                [&] { return count_message(read_output(second_output_path), running) == 1; },
                deadline_seconds));
            // Read while that MOLV holds it, as --status reads it.
            const std::string record = read_file(elsewhere + "\\molv.lock");
            ASSERT_NE(record.find("\nserver "), std::string::npos) << record;
            ASSERT_TRUE(write_file(work + "\\molv.lock", record));
            ASSERT_TRUE(squatter.make(work));
        }
        int status = 0;
        EXPECT_EQ(run_control(step.option, status), no_molv);
        EXPECT_EQ(status, 3);
        DWORD written = 0;
        if (squatter.pipe != INVALID_HANDLE_VALUE) {
            // It came as far as the pipe, and wrote nothing there.
            EXPECT_TRUE(squatter.client_came(written));
            EXPECT_EQ(written, 0u) << "a request reached a process not of the record";
        }
    }
    // The MOLV of the record was asked nothing either.
    const std::string said = read_output(second_output_path);
    EXPECT_EQ(said.find("asked"), std::string::npos) << said;
    EXPECT_EQ(count_message(said, running), 1u) << said;
}

TEST_F(requests_on_windows, RestartThenStopFromAnotherConsole)
{
    write_settings("[GENERAL]\nstatus_file=molv.prom\non_event=events.exe\nstop_timeout=10\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    ASSERT_TRUE(install_server(work, "events.exe"));
    start({"MOLV_STANDIN_HOLD=1,2", "MOLV_STANDIN_EVENT_SLEEP_MS=1500"});
    ASSERT_TRUE(wait_for_instance(1));
    const std::string molv_process = "(process " + std::to_string(molv.id) + ")";

    int status = -1;
    std::string said = run_control("--status", status);
    EXPECT_EQ(status, 0) << said;
    EXPECT_NE(said.find("MOLV is running in this folder " + molv_process), std::string::npos)
        << said;
    const long first = server_records().at(0).number("pid");
    EXPECT_NE(said.find("The gameserver is running (process " + std::to_string(first) + ")"),
              std::string::npos)
        << said;

    // The restart: the server asked to close as for a scheduled restart
    // (forced where Wine has no display for its window), one backup, and
    // the next launch at once, counted as asked and not as a crash.
    EXPECT_EQ(run_control("--restart", status),
              "Asked MOLV " + molv_process + " to restart the gameserver.\n");
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(wait_for_instance(2)) << output();
    std::vector<std::string> expected = {starting, running,
                                         "  > Restart asked: stopping the gameserver..."};
    if (server_records().at(0).get("window") != "1") {
        expected.push_back(
            "  WARNING: Gameserver did not stop within 10 seconds; ending it by force.");
    }
    for (const char* message : {stopped, backing_up, restarting, running}) {
        expected.push_back(message);
    }
    EXPECT_EQ(cycle_messages(output()), expected);
    EXPECT_EQ(server_records().at(1).get("previous_alive"), "0");
    EXPECT_TRUE(wait_for_status("molv_server_ends_total{asked}", "1"))
        << read_file(status_path());
    EXPECT_EQ(status_values(status_path())["molv_server_ends_total{crashed}"], "0");

    // The stop: the server and every event program ended, one more backup,
    // the status file's last word, and MOLV's end with status 0.
    EXPECT_EQ(run_control("--stop", status),
              "Asked MOLV " + molv_process + " to stop the gameserver and end; waiting...\n"
              "MOLV has ended.\n");
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(wait_for_end(molv, 0));
    EXPECT_TRUE(molv.exited);
    EXPECT_EQ(molv.exit_code, 0);
    const std::vector<std::string> after = messages_after(output(), restarting);
    ASSERT_GE(after.size(), 3u) << output();
    EXPECT_EQ(after[1], "  > Stop asked: stopping the gameserver...");
    EXPECT_EQ(after.back(), backing_up);
    EXPECT_EQ(dated_backups(work).size(), 2u);
    const std::map<std::string, std::string> last = status_values(status_path());
    EXPECT_EQ(last.at("molv_up"), "0");
    EXPECT_EQ(last.at("molv_server_up"), "0");
    for (const standin_record& record : server_records()) {
        EXPECT_FALSE(runs_after(record.number("pid"), 0)) << record.get("instance");
    }
    const std::string events = read_file(records + "/events.txt");
    EXPECT_NE(events.find("event=asked\tdetail=restart\t"), std::string::npos) << events;
    EXPECT_NE(events.find("event=asked\tdetail=stop\t"), std::string::npos) << events;
    for (const std::string& line : text_lines(events)) {
        const std::size_t at = line.find("\tpid=");
        ASSERT_NE(at, std::string::npos) << line;
        EXPECT_FALSE(runs_after(std::atol(line.c_str() + at + 5), 0)) << line;
    }
}

TEST_F(requests_on_windows, RetryPauseTellsOfItselfAndEndsAtARestart)
{
    // Five quick ends in a row make pauses of 1, 2, 4, 8 and 16 seconds; the
    // sixth instance runs on.
    write_settings("[GENERAL]\nmin_uptime=10\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=6"});
    ASSERT_TRUE(wait_until([&] { return count_message(output(), retrying_in(16)) == 1; },
                           2 * deadline_seconds))
        << output();

    int status = -1;
    const std::string said = run_control("--status", status);
    EXPECT_EQ(status, 1) << said;
    EXPECT_NE(said.find("The gameserver is not running; next start in "), std::string::npos)
        << said;
    EXPECT_NE(said.find("5 launches, last end: crashed at "), std::string::npos) << said;

    EXPECT_EQ(run_control("--restart", status),
              "Asked MOLV (process " + std::to_string(molv.id) + ") to restart the gameserver.\n");
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(wait_for_instance(6)) << output();
    EXPECT_EQ(messages_after(output(), retrying_in(16)),
              (std::vector<std::string>{"  > Restart asked.", restarting, running}));
    // Launched when asked, not when the pause was over.
    const long paused = stamp_of(output(), retrying_in(16));
    const long asked = stamp_of(output(), "  > Restart asked.");
    ASSERT_GE(paused, 0);
    ASSERT_GE(asked, 0);
    EXPECT_LT((asked - paused + 86400) % 86400, 16) << output();
}

TEST_F(requests_on_windows, CtrlCEndsMolvAloneAndTheNextMolvFindsTheServer)
{
    write_settings("[GENERAL]\nstatus_file=molv.prom\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1,2"});
    ASSERT_TRUE(wait_for_instance(1));
    const long server = server_records().at(0).number("pid");

    ASSERT_TRUE(send_ctrl_c(molv));
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds)) << output();
    EXPECT_TRUE(molv.exited);
    EXPECT_EQ(molv.exit_code, 0);
    const std::vector<std::string> messages = stamped_messages(output());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "  > MOLV is ending; the gameserver keeps running (process " +
                                   std::to_string(server) + ").");
    EXPECT_EQ(status_values(status_path())["molv_up"], "0") << read_file(status_path());
    // The server's job does not end it with MOLV.
    EXPECT_TRUE(runs_after(server, 2000));

    molv_launch next = launch_in_work({"MOLV_STANDIN_HOLD=1,2"});
    next.output_path = second_output_path;
    ASSERT_TRUE(start_molv(next, other_molv));
    const std::string found = "  > Found the gameserver still running (process " +
                              std::to_string(server) + "); watching it.";
    EXPECT_TRUE(wait_until(
        [&] { return count_message(read_output(second_output_path), found) == 1; },
        deadline_seconds))
        << read_output(second_output_path);
    EXPECT_EQ(server_records().size(), 1u);
}
