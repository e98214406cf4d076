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
