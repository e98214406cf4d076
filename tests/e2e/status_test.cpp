// The status file end to end, on every platform: what it says after a
// crash, and a file that cannot be written.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>

#include "e2e_fixture.h"
#include "supervise/status.h"

namespace {

constexpr char not_written[] = "  WARNING: Could not write the status file: ";

class status_file_test : public molv_test {
protected:
    bool wait_for_value(const std::string& path, const std::string& series,
                        const std::string& value)
    {
        return wait_until([&] { return status_values(path)[series] == value; }, deadline_seconds);
    }

    std::size_t warnings_not_written() const
    {
        std::size_t count = 0;
        for (const std::string& message : stamped_messages(output())) {
            if (message.compare(0, sizeof not_written - 1, not_written) == 0) {
                EXPECT_GT(message.size(), sizeof not_written - 1) << "no reason given";
                ++count;
            }
        }
        return count;
    }
};

} // namespace

// The same story gives the same file on Linux and on Windows: apart from
// the times, exactly what the renderer makes of it, which promtool and the
// collector take.
TEST_F(status_file_test, AfterACrashTheFileTellsTheSameStoryOnEveryPlatform)
{
    const long long test_start = static_cast<long long>(std::time(nullptr));
    write_settings("[GENERAL]\nstatus_file=molv.prom\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=300", "MOLV_STANDIN_HOLD=2"});
    ASSERT_TRUE(wait_for_instance(2));
    const std::string path = work + "/molv.prom";
    ASSERT_TRUE(wait_for_value(path, "molv_server_launches_total", "2")) << read_file(path);

    std::map<std::string, std::string> values = status_values(path);
    const long long started = std::stoll(values["molv_start_time_seconds"]);
    const long long server_started = std::stoll(values["molv_server_start_time_seconds"]);
    EXPECT_GE(started, test_start - 1);
    EXPECT_GE(server_started, started);
    EXPECT_LE(server_started, static_cast<long long>(std::time(nullptr)) + 1);

    molv_status story = {};
    story.start_time = started;
    story.server_up = true;
    story.server_start_time = server_started;
    story.launches = 2;
    story.ends[static_cast<int>(status_end::crashed)] = 1;
    story.backups = 1;
    static char expected[status_text_capacity];
    ASSERT_GT(render_status(story, full_path_of(work).c_str(), "1.3.2", expected, sizeof expected),
              0u);
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(metrics_problems(path), "");
    // Nothing is left under a temporary name.
    for (const std::string& name : file_names(work)) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
}

TEST_F(status_file_test, AFileThatCannotBeWrittenIsWarnedOfOnceUntilAWriteWorks)
{
    // The collector's folder is not there yet.
    write_immediate_settings("[GENERAL]\nstatus_file=collector/molv.prom\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=3,5,7"});
    ASSERT_TRUE(wait_for_instance(3));
    EXPECT_EQ(warnings_not_written(), 1u);

    // Once the folder is there, the next change is written.
    const std::string folder = work + "/collector";
    ASSERT_TRUE(make_directory(folder));
    stop_server(server_records().at(2).number("pid"), work);
    ASSERT_TRUE(wait_for_instance(5));
    ASSERT_TRUE(wait_for_value(folder + "/molv.prom", "molv_server_launches_total", "5"));
    EXPECT_EQ(metrics_problems(folder + "/molv.prom"), "");

    // Gone again: one more warning, and the cycle goes on.
    remove_tree(folder);
    stop_server(server_records().at(4).number("pid"), work);
    ASSERT_TRUE(wait_for_instance(7));
    EXPECT_EQ(warnings_not_written(), 2u);
    EXPECT_EQ(count_message(output(), restarting), 6u);
}

TEST_F(status_file_test, AFolderUnderTheFilesNameStaysWhereItIs)
{
    write_immediate_settings("[GENERAL]\nstatus_file=molv.prom\n");
    ASSERT_TRUE(make_directory(work + "/molv.prom"));
    ASSERT_TRUE(write_file(work + "/molv.prom/kept", "kept"));
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=3"});
    ASSERT_TRUE(wait_for_instance(3));
    EXPECT_EQ(warnings_not_written(), 1u);
    EXPECT_EQ(read_file(work + "/molv.prom/kept"), "kept");
}
