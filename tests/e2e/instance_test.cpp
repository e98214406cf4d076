// One molv per folder, and a server found again after a restart of molv:
// a second molv beside a running one starts nothing, a killed molv's server
// is taken back by the next instead of being joined by another, and neither
// a stale lock file nor a record of another process stands in the way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace {

constexpr char found_prefix[] = "  > Found the gameserver still running (process ";

class one_per_folder : public molv_test {
protected:
    void SetUp() override
    {
        molv_test::SetUp();
        ASSERT_TRUE(install_server(work, "deusex.exe"));
        write_immediate_settings("[GENERAL]\nlogfile_backups=1\n");
    }

    // Starts the second molv in `work`, its output in a file of its own.
    void start_second(std::vector<std::string> environment = {})
    {
        molv_launch launch = launch_in_work(std::move(environment));
        launch.output_path = second_output_path;
        ASSERT_TRUE(start_molv(launch, other_molv));
    }

    std::string second_output() const { return read_output(second_output_path); }

    std::string found_line(long id) const
    {
        return found_prefix + std::to_string(id) + "); watching it.";
    }
};

} // namespace

TEST_F(one_per_folder, SecondMolvInTheFolderEndsWithTheErrorAndStartsNothing)
{
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));
    start_second({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_end(other_molv, deadline_seconds));
    EXPECT_TRUE(other_molv.exited);
    EXPECT_EQ(other_molv.exit_code, already_running_status);
    const std::vector<std::string> messages = stamped_messages(second_output());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "  ERROR: Another MOLV is already running in this folder (process " +
                                   std::to_string(molv.id) + ").");
    EXPECT_EQ(count_message(second_output(), starting), 0u);
    EXPECT_EQ(server_records().size(), 1u);
    EXPECT_TRUE(dated_backups(work).empty());
    EXPECT_FALSE(wait_for_end(molv, 0));
}

TEST_F(one_per_folder, KilledMolvsServerIsFoundAgainAndRestartedAfterItsEnd)
{
    start({"MOLV_STANDIN_HOLD=1,2"});
    ASSERT_TRUE(wait_for_instance(1));
    const long first = server_records().at(0).number("pid");
    stop_molv(molv);

    start_second({"MOLV_STANDIN_HOLD=1,2"});
    ASSERT_TRUE(wait_until([&] { return count_message(second_output(), found_line(first)) == 1; },
                           deadline_seconds))
        << second_output();
    EXPECT_EQ(count_message(second_output(), starting), 0u);
    EXPECT_EQ(count_message(second_output(), running), 0u);
    EXPECT_EQ(server_records().size(), 1u);

    // Its end is handled as that of a server molv started itself.
    stop_server(first, work);
    ASSERT_TRUE(wait_until(
        [&] {
            return count_message(second_output(), running) == 1 && server_records().size() >= 2;
        },
        deadline_seconds))
        << second_output();
    const std::vector<std::string> messages = stamped_messages(second_output());
    const std::vector<std::string> expected = {found_line(first), ended, backing_up, restarting,
                                               running};
    ASSERT_GE(messages.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(messages.end() - static_cast<long>(expected.size()),
                                       messages.end()),
              expected);
    EXPECT_EQ(server_records().size(), 2u);
    EXPECT_EQ(dated_backups(work).size(), 1u);
}

TEST_F(one_per_folder, RecordOfAnotherProcessWithTheSameIdIsNotTaken)
{
    // The test program's own id, with a start long before its own (on
    // Linux in this very boot).
    const long other = own_process_id();
    std::string boot = read_file("/proc/sys/kernel/random/boot_id");
    boot = boot.substr(0, boot.find('\n'));
    ASSERT_TRUE(write_file(work + "/molv.lock", "molv 1\nserver " + std::to_string(other) + " 1" +
                                                    (boot.empty() ? "" : " " + boot) +
                                                    "\nend\n"));
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));
    EXPECT_EQ(count_message(output(), starting), 1u);
    EXPECT_EQ(output().find(found_prefix), std::string::npos);
}

TEST_F(one_per_folder, StaleLockOfAKilledMolvDoesNotBlock)
{
    start({"MOLV_STANDIN_HOLD=1"});
    ASSERT_TRUE(wait_for_instance(1));
    const long first = server_records().at(0).number("pid");
    stop_molv(molv);
    stop_server(first, work);
    ASSERT_TRUE(file_exists(work + "/molv.lock"));

    start_second({"MOLV_STANDIN_HOLD=1,2"});
    ASSERT_TRUE(wait_until([&] { return count_message(second_output(), running) == 1; },
                           deadline_seconds))
        << second_output();
    EXPECT_EQ(count_message(second_output(), starting), 1u);
    EXPECT_EQ(second_output().find(found_prefix), std::string::npos);
    EXPECT_EQ(second_output().find("ERROR"), std::string::npos);
}
