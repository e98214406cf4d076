#include <gtest/gtest.h>

#include <cstring>

#include "app/startup.h"
#include "console/log_line.h"

namespace {

std::tm at(int hour, int minute, int second)
{
    std::tm time{};
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

std::string stamp(int hour, int minute, int second)
{
    char out[16];
    format_stamp(at(hour, minute, second), out, sizeof out);
    return out;
}

} // namespace

TEST(TwoDigitRule, PadsZeroToNineAndLeavesTenAndAbove)
{
    const struct {
        int value;
        const char* text;
    } cases[] = {{0, "00"}, {7, "07"}, {9, "09"}, {10, "10"}, {23, "23"}, {59, "59"}, {100, "100"}};
    for (const auto& c : cases) {
        char out[12];
        two_digit(c.value, out, sizeof out);
        EXPECT_STREQ(out, c.text) << c.value;
    }
}

TEST(TimeStamp, MidnightMorningAndLastSecond)
{
    EXPECT_EQ(stamp(0, 0, 0), "[00:00:00]");
    EXPECT_EQ(stamp(9, 5, 3), "[09:05:03]");
    EXPECT_EQ(stamp(23, 59, 59), "[23:59:59]");
    EXPECT_EQ(stamp(10, 15, 30), "[10:15:30]");
}

TEST(Banner, SixteenLinesOfThirtySevenCharacters)
{
    for (std::size_t i = 0; i < banner_line_count; ++i) {
        EXPECT_EQ(std::strlen(banner_lines[i]), 37u) << "line " << i + 1;
    }
    EXPECT_STREQ(banner_lines[0], "  =-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=");
    EXPECT_STREQ(banner_lines[10], banner_lines[0]);
    EXPECT_STREQ(banner_lines[15], banner_lines[0]);
    EXPECT_STREQ(banner_lines[12], "             Version 1.3.2           ");
    for (std::size_t row = 2; row <= 8; ++row) {
        EXPECT_EQ(std::strncmp(banner_lines[row], "  #", 3), 0) << "row " << row + 1;
    }
}
