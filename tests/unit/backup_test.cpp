#include <gtest/gtest.h>

#include <string>

#include "platform/working_name.h"
#include "supervise/backup.h"
#include "supervise/cycle.h"
#include "supervise/retention.h"

namespace {

std::string name_at(int year, int month, int day, int hour, int minute, int second,
                    unsigned suffix = 1)
{
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    char out[backup_name_capacity];
    backup_name(time, suffix, out, sizeof out);
    return out;
}

} // namespace

TEST(BackupName, DateWithoutZerosTimeWithTwoDigits)
{
    EXPECT_EQ(name_at(2026, 3, 7, 9, 5, 3), "7.3.2026__09_05_03.log");
    EXPECT_EQ(name_at(2026, 12, 25, 23, 59, 59), "25.12.2026__23_59_59.log");
    EXPECT_EQ(name_at(2027, 1, 1, 0, 0, 0), "1.1.2027__00_00_00.log");
    EXPECT_EQ(name_at(2026, 3, 7, 10, 15, 30), "7.3.2026__10_15_30.log");
}

TEST(BackupName, FurtherBackupsInTheSameSecondTakeASuffix)
{
    EXPECT_EQ(name_at(2026, 3, 7, 9, 5, 3, 0), "7.3.2026__09_05_03.log");
    EXPECT_EQ(name_at(2026, 3, 7, 9, 5, 3, 2), "7.3.2026__09_05_03-2.log");
    EXPECT_EQ(name_at(2026, 3, 7, 9, 5, 3, 117), "7.3.2026__09_05_03-117.log");
    EXPECT_EQ(name_at(2147483647 - 1900 + 1900, 12, 31, 23, 59, 59, 4294967295u),
              "31.12.2147483647__23_59_59-4294967295.log");
}

TEST(BackupName, TheSearchGoesOnFromThePreviousSuffixWithinOneSecond)
{
    const char* second = "7.3.2026__09_05_03.log";
    EXPECT_EQ(first_backup_suffix(second, "", 0), 1u);
    EXPECT_EQ(first_backup_suffix(second, second, 1), 2u);
    EXPECT_EQ(first_backup_suffix(second, second, 41), 42u);
    EXPECT_EQ(first_backup_suffix(second, "7.3.2026__09_05_02.log", 41), 1u);
}

TEST(BackupName, OnlyTheExactFormOfABackupIsRecognised)
{
    struct {
        const char* name;
        bool backup;
    } const cases[] = {
        {"7.3.2026__09_05_03.log", true},
        {"7.3.2026__09_05_03-2.log", true},
        {"25.12.2026__23_59_59-117.log", true},
        {"1.1.2027__00_00_00.log", true},
        {"31.12.9999__23_59_60-4294967295.log", true},
        {"07.3.2026__09_05_03.log", false},
        {"7.03.2026__09_05_03.log", false},
        {"7.3.2026__9_05_03.log", false},
        {"7.3.2026__09_5_03.log", false},
        {"7.3.2026__09_05_3.log", false},
        {"7.3.2026__009_05_03.log", false},
        {"x7.3.2026__09_05_03.log", false},
        {"7.3.2026__09_05_03.log.bak", false},
        {"7.3.2026__09_05_03.logx", false},
        {"7.3.2026__09_05_03.LOG", false},
        {"7.3.26__09_05_03.log", false},
        {"7.3.02026__09_05_03.log", false},
        {"7.3.0999__09_05_03.log", false},
        {"7.3.2026__09_05_03-.log", false},
        {"7.3.2026__09_05_03-1.log", false},
        {"7.3.2026__09_05_03-0.log", false},
        {"7.3.2026__09_05_03-02.log", false},
        {"7.3.2026__09_05_03-4294967296.log", false},
        {"7.3.2026__09_05_03-2-3.log", false},
        {"7.3.2026__09_05_03 .log", false},
        {"7.3.2026_09_05_03.log", false},
        {"7.3.2026__09-05-03.log", false},
        {"0.3.2026__09_05_03.log", false},
        {"32.3.2026__09_05_03.log", false},
        {"7.13.2026__09_05_03.log", false},
        {"7.3.2026__24_05_03.log", false},
        {"7.3.2026__09_60_03.log", false},
        {"7.3.2026__09_05_61.log", false},
        {"server.log", false},
        {".log", false},
        {"", false},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(is_backup_name(entry.name), entry.backup) << entry.name;
    }
    // Every name molv writes is recognised, suffix or not.
    EXPECT_TRUE(is_backup_name(name_at(2026, 12, 31, 23, 59, 59, 2).c_str()));
    EXPECT_TRUE(is_backup_name(name_at(2026, 1, 1, 0, 0, 0).c_str()));
}

TEST(BackupName, TheLogItselfIsKnownByItsNameInAnyCase)
{
    const char* const name = "7.3.2026__09_05_03.log";
    struct {
        const char* logfile;
        bool same;
    } const cases[] = {
        {"7.3.2026__09_05_03.log", true},
        {"./7.3.2026__09_05_03.log", true},
        {".\\./7.3.2026__09_05_03.LOG", true},
        {"7.3.2026__09_05_03.lo", false},
        {"7.3.2026__09_05_03.log2", false},
        {"logs/7.3.2026__09_05_03.log", false},
        {"../7.3.2026__09_05_03.log", false},
        {"", false},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(names_the_logfile(name, entry.logfile), entry.same) << entry.logfile;
    }
}

TEST(RetryDelay, DoublesFromOneUpToSixty)
{
    unsigned delay = 0;
    const unsigned expected[] = {1, 2, 4, 8, 16, 32, 60, 60, 60};
    for (unsigned want : expected) {
        delay = next_retry_delay(delay);
        EXPECT_EQ(delay, want);
    }
}

TEST(WorkingName, CarriesTheProcessAndSerialAndFitsItsCapacity)
{
    char out[working_name_capacity];
    ASSERT_TRUE(working_name(4242, 7, out, sizeof out));
    EXPECT_STREQ(out, ".molv-backup-4242-7.tmp");
    ASSERT_TRUE(working_name(4294967295ULL, 4294967295ULL, out, sizeof out));
    EXPECT_STREQ(out, ".molv-backup-4294967295-4294967295.tmp");

    // The longest name and its terminator fit exactly; one byte less does not.
    const std::size_t longest = std::string(out).size();
    char exact[working_name_capacity];
    EXPECT_TRUE(working_name(4294967295ULL, 4294967295ULL, exact, longest + 1));
    EXPECT_FALSE(working_name(4294967295ULL, 4294967295ULL, exact, longest));
    EXPECT_STREQ(exact, "");

    // Numbers no process or serial can have make no name.
    EXPECT_FALSE(working_name(0, 1, out, sizeof out));
    EXPECT_FALSE(working_name(1, 0, out, sizeof out));
    EXPECT_FALSE(working_name(4294967296ULL, 1, out, sizeof out));
}

TEST(WorkingName, OnlyExactlyThatFormIsTakenForOne)
{
    struct named {
        const char* name;
        bool working;
        unsigned long process;
    };
    const named cases[] = {
        {".molv-backup-4242-7.tmp", true, 4242},
        {".molv-backup-1-1.tmp", true, 1},
        {".molv-backup-4294967295-4294967295.tmp", true, 4294967295UL},
        // Whatever an operator may call a file of their own is left alone.
        {".molv-backup-4294967296-1.tmp", false, 0},
        {".molv-backup-04242-7.tmp", false, 0},
        {".molv-backup-4242-07.tmp", false, 0},
        {".molv-backup-0-7.tmp", false, 0},
        {".molv-backup-4242-7.tmp.bak", false, 0},
        {".molv-backup-4242-7.TMP", false, 0},
        {".molv-backup-4242.tmp", false, 0},
        {".molv-backup--7.tmp", false, 0},
        {".molv-backup-42a-7.tmp", false, 0},
        {".molv-backup-4242-7-1.tmp", false, 0},
        {"molv-backup-4242-7.tmp", false, 0},
        {".MOLV-backup-4242-7.tmp", false, 0},
        {"7.3.2026__09_05_03.log", false, 0},
        {"", false, 0},
    };
    for (const named& item : cases) {
        unsigned long process = 0;
        EXPECT_EQ(parse_working_name(item.name, process), item.working) << item.name;
        EXPECT_EQ(process, item.process) << item.name;
    }
}

TEST(RetryDelay, FailedLaunchesAndQuickEndsShareOneCountThatOnlyALongLifeResets)
{
    using end = instance_end;
    struct {
        end kind;
        unsigned delay;
    } const steps[] = {
        {end::quick, 1},         {end::quick, 2},         {end::launch_failed, 4},
        {end::quick, 8},         {end::launch_failed, 16}, {end::launch_failed, 32},
        {end::quick, 60},        {end::quick, 60},        {end::lived, 0},
        {end::lived, 0},         {end::launch_failed, 1}, {end::lived, 0},
        {end::quick, 1},         {end::launch_failed, 2},
    };
    unsigned delay = 0;
    for (std::size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        delay = delay_after(delay, steps[i].kind);
        EXPECT_EQ(delay, steps[i].delay) << "step " << i;
    }
}

TEST(RetryDelay, AnInstanceEndsQuicklyOnlyBeforeMinUptimeHasPassed)
{
    EXPECT_EQ(end_of_instance(0, 10), instance_end::quick);
    EXPECT_EQ(end_of_instance(9999, 10), instance_end::quick);
    EXPECT_EQ(end_of_instance(10000, 10), instance_end::lived);
    EXPECT_EQ(end_of_instance(0, 0), instance_end::lived);
    EXPECT_EQ(end_of_instance(86399999, 86400), instance_end::quick);
    EXPECT_EQ(end_of_instance(86400000, 86400), instance_end::lived);
}
