#include <gtest/gtest.h>

#include <string>

#include "platform/working_name.h"
#include "supervise/backup.h"
#include "supervise/cycle.h"

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
