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

// The players, their limit and the map come from the server's answers while
// it answers, and pass the collector's checks; a server that does not answer
// shows none.
TEST_F(status_file_test, PlayersAndMapFollowTheAnswers)
{
    const unsigned port = free_udp_port();
    ASSERT_NE(port, 0u);
    write_settings("[GENERAL]\nstatus_file=molv.prom\nhang_timeout=4\nquery_port=" +
                   std::to_string(port) + "\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_QUERY_PORT=" + std::to_string(port), "MOLV_STANDIN_PLAYERS=2,2,0",
           "MOLV_STANDIN_MAP=DXMP_\"Cathedral\"", "MOLV_STANDIN_MAX_PLAYERS=16",
           "MOLV_STANDIN_QUERY=answer,never", "MOLV_STANDIN_HOLD=1,2"});
    const std::string path = work + "/molv.prom";
    ASSERT_TRUE(wait_for_value(path, "molv_server_players", "2")) << read_file(path);
    std::map<std::string, std::string> values = status_values(path);
    EXPECT_EQ(values["molv_server_max_players"], "16");
    static char label[3 * status_folder_capacity];
    ASSERT_GT(render_label_value(full_path_of(work).c_str(), label, sizeof label), 0u);
    EXPECT_NE(read_file(path).find("molv_server_map_info{folder=\"" + std::string(label) +
                                   "\",map=\"DXMP_\\\"Cathedral\\\"\"} 1\n"),
              std::string::npos)
        << read_file(path);
    EXPECT_EQ(metrics_problems(path), "");
    ASSERT_TRUE(wait_for_value(path, "molv_server_players", "0")) << read_file(path);
    EXPECT_EQ(metrics_problems(path), "");

    // The next instance never answers: no players, no map.
    ASSERT_TRUE(wait_for_instance(1));
    stop_server(server_records().at(0).number("pid"), work);
    ASSERT_TRUE(wait_for_value(path, "molv_server_launches_total", "2"));
    values = status_values(path);
    EXPECT_EQ(values.count("molv_server_players"), 0u) << read_file(path);
    EXPECT_EQ(values.count("molv_server_max_players"), 0u);
    EXPECT_EQ(values.count("molv_server_map_info"), 0u);
    EXPECT_EQ(metrics_problems(path), "");
}

// A file left in the folder that speaks for the same server folder is
// named once at the start; files of other folders, and MOLV's own, are not.
TEST_F(status_file_test, AnotherFileForThisFolderIsNamedOnceAtTheStart)
{
    const std::string collector = work + "/collector";
    ASSERT_TRUE(make_directory(collector));
    static char text[status_text_capacity];
    ASSERT_GT(render_status(molv_status{}, full_path_of(work).c_str(), "1.3.1", text, sizeof text),
              0u);
    ASSERT_TRUE(write_file(collector + "/molv-old.prom", text));
    ASSERT_TRUE(write_file(collector + "/molv.prom", text));
    ASSERT_TRUE(write_file(collector + "/molv-old.prom.bak", text));
    ASSERT_GT(render_status(molv_status{}, (full_path_of(work) + "-other").c_str(), "1.3.1", text,
                            sizeof text),
              0u);
    ASSERT_TRUE(write_file(collector + "/molv-other.prom", text));
    write_settings("[GENERAL]\nstatus_file=collector/molv.prom\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=300", "MOLV_STANDIN_HOLD=2"});
    ASSERT_TRUE(wait_for_instance(2));
    ASSERT_TRUE(wait_for_value(collector + "/molv.prom", "molv_server_launches_total", "2"));
    const std::string warning = "  WARNING: Another status file in that folder also speaks for "
                                "this folder: molv-old.prom; remove it.";
    EXPECT_EQ(count_message(output(), warning), 1u) << output();
    EXPECT_EQ(output().find("molv-other"), std::string::npos) << output();
    EXPECT_EQ(output().find("molv-old.prom.bak"), std::string::npos) << output();
    EXPECT_EQ(output().find("molv.prom;"), std::string::npos) << output();
}

// The service manager may name the status file; molv.ini, where it names
// one, wins.
TEST_F(status_file_test, TheEnvironmentNamesTheFileWhereTheSettingsDoNot)
{
    write_settings("[GENERAL]\nmin_uptime=0\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STATUS_FILE=molv-env.prom", "MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_value(work + "/molv-env.prom", "molv_server_launches_total", "1"))
        << output();
    EXPECT_EQ(count_message(output(), "  > Status file: molv-env.prom"), 1u) << output();
    ASSERT_TRUE(wait_for_instance(1));
    stop_molv(molv);
    stop_server(server_records().at(0).number("pid"), work);
    molv = molv_process();

    write_settings("[GENERAL]\nstatus_file=molv.prom\n");
    start({"MOLV_STATUS_FILE=molv-env-2.prom", "MOLV_STANDIN_HOLD=2"});
    ASSERT_TRUE(wait_for_value(work + "/molv.prom", "molv_server_launches_total", "1"));
    EXPECT_FALSE(file_exists(work + "/molv-env-2.prom"));
}
