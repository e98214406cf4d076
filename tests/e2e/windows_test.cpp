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
// error report dialog is ever involved. A case that needs the game's window
// to be asked to close is skipped where no window can be made.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>

#include "e2e_fixture.h"
#include "platform/win32/job_name.h"

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

std::string utf8(const std::wstring& text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0, nullptr,
                                           nullptr);
    std::string result(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0],
                            length, nullptr, nullptr);
    }
    return result;
}

bool write_wide_file(const std::string& path, const std::string& content)
{
    HANDLE file = CreateFileW(wide_text(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool complete = WriteFile(file, content.data(), static_cast<DWORD>(content.size()),
                                    &written, nullptr) != 0 &&
                          written == content.size();
    return CloseHandle(file) != 0 && complete;
}

// A handle the test holds until it ends, passed or failed.
struct held_handle {
    HANDLE handle = nullptr;
    ~held_handle()
    {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};

bool under_wine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The ids of the running processes with this program name.
std::vector<DWORD> processes_named(const wchar_t* name)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, name) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

// Under Wine, ends Wine's desktop process, so that the next program of the
// prefix that opens a window starts it anew, in that program's job.
void end_wine_desktop()
{
    if (!under_wine()) {
        return;
    }
    for (DWORD id : processes_named(L"explorer.exe")) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (process != nullptr) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }
}

// Whether Wine's desktop is in the job of `folder`.
bool desktop_in_job_of(const std::string& folder)
{
    wchar_t name[job_name_capacity];
    if (!job_name_of(wide_text(folder).c_str(), name, job_name_capacity)) {
        return false;
    }
    held_handle job;
    job.handle = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, name);
    bool inside = false;
    for (DWORD id : processes_named(L"explorer.exe")) {
        held_handle process;
        // Wine answers only with the full right to query.
        process.handle = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);
        BOOL in_job = FALSE;
        inside = inside || (job.handle != nullptr && process.handle != nullptr &&
                            IsProcessInJob(process.handle, job.handle, &in_job) && in_job);
    }
    return inside;
}

// Whether the process still runs `grace_ms` from now. A process that is
// about to end may still be seen running, never the other way round.
bool runs_after(long id, DWORD grace_ms)
{
    held_handle process;
    process.handle = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    return process.handle != nullptr &&
           WaitForSingleObject(process.handle, grace_ms) == WAIT_TIMEOUT;
}

// Whether the status file at `path` counts `launches` launches.
bool status_counts_launches(const std::string& path, unsigned launches)
{
    for (const std::string& line : text_lines(read_file(path))) {
        if (line.rfind("molv_server_launches_total{", 0) == 0) {
            return line.substr(line.rfind(' ') + 1) == std::to_string(launches);
        }
    }
    return false;
}

class on_windows : public molv_test {
protected:
    // A game folder whose server is the stand-in started through a .bat,
    // with its settings.
    void set_up_wrapped_game(const std::string& folder, const std::string& settings)
    {
        CreateDirectoryW(wide_text(folder).c_str(), nullptr);
        ASSERT_TRUE(write_wide_file(folder + "\\molv.ini",
                                    "[GENERAL]\nexename=server.bat\nmin_uptime=0\n" + settings));
        ASSERT_TRUE(write_wide_file(folder + "\\server.bat", "@\"%~dp0deusex.exe\" %*\r\n"));
        ASSERT_TRUE(CopyFileW(wide_text(standin_program).c_str(),
                              wide_text(folder + "\\deusex.exe").c_str(), FALSE))
            << GetLastError();
    }

    static std::string query_settings(unsigned port, unsigned stop_timeout)
    {
        return "query_port=" + std::to_string(port) + "\nhang_timeout=2\nstop_timeout=" +
               std::to_string(stop_timeout) + "\n";
    }
};

// The other MOLV of a test and its server's records: stopped, and the
// stand-ins told to end, however the test ends.
struct other_folder {
    molv_process molv;
    std::string records;
    ~other_folder()
    {
        stop_molv(molv);
        write_file(records + "/stop", "");
    }
};

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
    // Under a loaded Wine a launch can fail now and then: molv says so and
    // tries again, and there is nothing to back up for it. Every instance
    // that ran was backed up once.
    const std::string said = output();
    std::string warnings;
    for (const std::string& line : text_lines(said)) {
        const bool unusual = line.find("WARNING") != std::string::npos &&
                             line.find("crashed or closed") == std::string::npos;
        warnings += unusual ? line + "\n" : "";
    }
    EXPECT_GE(count_message(said, "  > Restarting..."), 200u) << warnings;
    EXPECT_EQ(count_message(said, "  > Backing up the log..."), 200u) << warnings;
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
    // A copy cut short is made again, whole, before the next run's first
    // start; one that was done is not.
    ASSERT_EQ(second_run.size(), first_run.empty() ? 2u : 1u);
    for (const std::string& name : second_run) {
        EXPECT_EQ(read_file(work + "\\" + name), next_log) << name;
    }
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

TEST_F(on_windows, FoldersNamedOutsideTheCodePageKeepTheirServersApartAndAskEveryProcessToClose)
{
    // Both names are "???" in the ANSI code page. Дом's game is asked to
    // close at each hang; a second MOLV reaches Дом through its short name.
    const std::string home = root + "\\" + u8"Дом";
    const std::string cat = root + "\\" + u8"Кот";
    const unsigned port = free_udp_port();
    ASSERT_NE(port, 0u);
    set_up_wrapped_game(home, "");
    set_up_wrapped_game(cat, "");
    // The first program that opens a window after this brings Wine's
    // desktop into its job.
    end_wine_desktop();
    molv_launch launch = launch_in_work({"MOLV_STANDIN_QUERY_PORT=" + std::to_string(port),
                                         "MOLV_STANDIN_QUERY=silent_after_2,silent_after_2,answer",
                                         "MOLV_STANDIN_STOP=slow_0", "MOLV_STANDIN_HOLD=1,2,3"});
    launch.directory = home;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_until([&] { return server_records().size() == 1; }, deadline_seconds))
        << output();
    if (server_records()[0].get("window") != "1") {
        GTEST_SKIP() << "No window can be made here (Wine without a display)";
    }
    // Where tests run side by side in the prefix, another test's program may
    // bring the desktop up first, into its own job: the desktop's part of
    // this test is then left out.
    const bool desktop_here =
        under_wine() && wait_until([&] { return desktop_in_job_of(home); }, 10);

    other_folder other;
    other.records = root + "/records-cat";
    ASSERT_TRUE(make_directory(other.records));
    molv_launch cat_launch;
    cat_launch.directory = cat;
    cat_launch.output_path = root + "/output-cat.txt";
    cat_launch.environment = {"MOLV_STANDIN_RECORD=" + other.records, "MOLV_STANDIN_HOLD=1"};
    ASSERT_TRUE(start_molv(cat_launch, other.molv));
    ASSERT_TRUE(wait_until([&] { return read_records(other.records).size() == 1; },
                           deadline_seconds));

    // MOLV ends while its game runs; the next one, through another path,
    // watches the game with the hang check.
    ASSERT_TRUE(wait_for_message(running));
    stop_molv(molv);
    ASSERT_TRUE(write_wide_file(home + "\\molv.ini",
                                "[GENERAL]\nexename=server.bat\nmin_uptime=0\n" +
                                    query_settings(port, 60)));
    wchar_t short_name[MAX_PATH];
    const DWORD length = GetShortPathNameW(wide_text(home).c_str(), short_name, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH) << GetLastError();
    molv_launch again = launch;
    again.directory = utf8(short_name);
    again.output_path = second_output_path;
    ASSERT_TRUE(start_molv(again, other_molv));

    // Two hang stops: of the game found running, and of the one launched.
    const auto launched = [&](std::size_t count) {
        return count_message(read_output(second_output_path), running) >= count &&
               server_records().size() >= count + 1;
    };
    ASSERT_TRUE(wait_until([&] { return launched(2); }, 4 * deadline_seconds))
        << read_output(second_output_path);
    const std::string messages = read_output(second_output_path);
    EXPECT_NE(messages.find("  > Found the gameserver still running (process "),
              std::string::npos)
        << messages;
    EXPECT_EQ(count_message(messages, "  WARNING: Gameserver has not answered for 2 seconds! "
                                      "Stopping it..."),
              2u)
        << messages;
    EXPECT_EQ(count_message(messages, stopped), 2u) << messages;
    EXPECT_EQ(messages.find("did not stop within"), std::string::npos) << messages;
    EXPECT_EQ(messages.find("left 1 process"), std::string::npos) << messages;
    EXPECT_EQ(messages.find("cannot be kept together"), std::string::npos) << messages;
    EXPECT_EQ(messages.find("Could not read"), std::string::npos) << messages;
    EXPECT_EQ(output().find("Could not read"), std::string::npos) << output();
    const std::vector<standin_record> games = server_records();
    for (std::size_t instance = 1; instance <= 2; ++instance) {
        EXPECT_EQ(read_file(records + "/closed-" + std::to_string(instance) + ".txt"), "closed\n")
            << "game " << instance << " was not asked to close";
        EXPECT_EQ(games.at(instance).get("previous_alive"), "0") << instance;
    }
    if (under_wine()) {
        EXPECT_TRUE(!desktop_here || desktop_in_job_of(home)) << "Wine's desktop was stopped";
    }

    // Кот's game runs on, untouched.
    const std::vector<standin_record> cat_games = read_records(other.records);
    ASSERT_EQ(cat_games.size(), 1u);
    EXPECT_TRUE(runs_after(cat_games[0].number("pid"), 0));
    const std::string cat_messages = read_output(cat_launch.output_path);
    EXPECT_EQ(count_message(cat_messages, running), 1u) << cat_messages;
    EXPECT_EQ(count_message(cat_messages, ended), 0u) << cat_messages;
    EXPECT_EQ(cat_messages.find("Could not read"), std::string::npos) << cat_messages;
}

TEST_F(on_windows, ServerLeavesAWrappersJobAndAJobWithoutItsNameStillHoldsTheWrappedGame)
{
    // Another object has the name of this folder's job.
    wchar_t name[job_name_capacity];
    ASSERT_TRUE(job_name_of(wide_text(work).c_str(), name, job_name_capacity));
    held_handle squatter;
    squatter.handle = CreateMutexW(nullptr, FALSE, name);
    ASSERT_NE(squatter.handle, nullptr);
    const unsigned port = free_udp_port();
    ASSERT_NE(port, 0u);
    set_up_wrapped_game(work, query_settings(port, 2));

    // MOLV in a job that ends all of its processes when the wrapper ends.
    molv_launch launch = launch_in_work({"MOLV_STANDIN_QUERY_PORT=" + std::to_string(port),
                                         "MOLV_STANDIN_QUERY=silent_after_2,answer",
                                         "MOLV_STANDIN_STOP=ignore", "MOLV_STANDIN_HOLD=1,2"});
    launch.in_wrapper_job = true;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_instance(2)) << output();
    EXPECT_EQ(cycle_messages(output()),
              (std::vector<std::string>{
                  starting, running,
                  "  WARNING: Gameserver has not answered for 2 seconds! Stopping it...",
                  "  WARNING: Gameserver did not stop within 2 seconds; ending it by force.",
                  stopped, backing_up, restarting, running}));
    // The force reached the game behind the .bat.
    EXPECT_EQ(server_records().at(1).get("previous_alive"), "0");

    const long game = server_records().at(1).number("pid");
    held_handle game_process;
    game_process.handle = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(game));
    ASSERT_NE(game_process.handle, nullptr);
    end_wrapper_job(molv);
    ASSERT_TRUE(molv.ended);
    EXPECT_EQ(WaitForSingleObject(game_process.handle, 2000), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the game ended with the wrapper";

    // The next MOLV finds the server, but not its job, and says so once.
    molv_launch next = launch_in_work();
    next.output_path = second_output_path;
    ASSERT_TRUE(start_molv(next, other_molv));
    const std::string cannot = "  WARNING: The gameserver's own processes cannot be kept "
                               "together: its job cannot be opened again";
    ASSERT_TRUE(wait_until(
        [&] { return read_output(second_output_path).find(cannot) != std::string::npos; },
        deadline_seconds))
        << read_output(second_output_path);
    const std::string messages = read_output(second_output_path);
    EXPECT_NE(messages.find("  > Found the gameserver still running (process "),
              std::string::npos);
    EXPECT_EQ(messages.find(cannot), messages.rfind(cannot)) << messages;
}

TEST_F(on_windows, StatusFileIsNeverWrittenThroughANameThatIsThereAndLeftoversOfEndedMolvsGo)
{
    write_immediate_settings("[GENERAL]\nstatus_file=molv.prom\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    // Process ids are multiples of 4: 3 never runs. The runner's own file
    // belongs to a process that runs, and stays.
    const std::string running_owner = "molv.prom." + std::to_string(own_process_id()) + ".tmp";
    ASSERT_TRUE(write_file(work + "/molv.prom.3.tmp", "left by an ended MOLV"));
    ASSERT_TRUE(write_file(work + "/" + running_owner, "still written"));
    start({"MOLV_STANDIN_HOLD=1,2,3,4"});
    ASSERT_TRUE(wait_for_instance(1));
    EXPECT_FALSE(file_exists(work + "/molv.prom.3.tmp"));
    EXPECT_EQ(read_file(work + "/" + running_owner), "still written");

    // A link under this MOLV's own temporary name leads nowhere it writes.
    const std::string victim = root + "\\victim.txt";
    ASSERT_TRUE(write_file(victim, "kept"));
    const std::string own = work + "\\molv.prom." + std::to_string(molv.id) + ".tmp";
    ASSERT_TRUE(CreateHardLinkA(own.c_str(), victim.c_str(), nullptr)) << GetLastError();
    stop_server(server_records().at(0).number("pid"), work);
    ASSERT_TRUE(wait_for_instance(2));
    ASSERT_TRUE(wait_until([&] { return status_counts_launches(work + "/molv.prom", 2); },
                           deadline_seconds))
        << read_file(work + "/molv.prom");
    EXPECT_TRUE(read_file(victim) == "kept") << "written through the link";

    // A reader without delete sharing: the replace fails, says why, and
    // leaves nothing under the temporary name; the next write works.
    held_handle reader;
    reader.handle = CreateFileA((work + "\\molv.prom").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader.handle, INVALID_HANDLE_VALUE);
    stop_server(server_records().at(1).number("pid"), work);
    ASSERT_TRUE(wait_for_instance(3));
    const std::string not_written = "  WARNING: Could not write the status file: ";
    std::string reason;
    ASSERT_TRUE(wait_until(
        [&] {
            for (const std::string& message : stamped_messages(output())) {
                if (message.compare(0, not_written.size(), not_written) == 0) {
                    reason = message.substr(not_written.size());
                    return true;
                }
            }
            return false;
        },
        deadline_seconds))
        << output();
    EXPECT_FALSE(reason.empty()) << output();
    // Each try (one a second while the reader stays) makes the file anew
    // and removes it when the replace fails: between tries nothing is left.
    EXPECT_TRUE(wait_until([&] { return !file_exists(own); }, deadline_seconds));
    CloseHandle(reader.handle);
    reader.handle = nullptr;
    stop_server(server_records().at(2).number("pid"), work);
    ASSERT_TRUE(wait_for_instance(4));
    ASSERT_TRUE(wait_until([&] { return status_counts_launches(work + "/molv.prom", 4); },
                           deadline_seconds))
        << read_file(work + "/molv.prom");
    EXPECT_FALSE(file_exists(own));
}
