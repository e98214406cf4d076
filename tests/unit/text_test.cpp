#include <gtest/gtest.h>

#include "text/text.h"

TEST(BoundedText, FitsExactlyAtCapacityAndRefusesOneMore)
{
    char field[4];
    EXPECT_TRUE(copy_text(field, sizeof field, "xyz"));
    EXPECT_STREQ(field, "xyz");
    EXPECT_FALSE(copy_text(field, sizeof field, "xyzz"));
    EXPECT_STREQ(field, "xyz");

    EXPECT_TRUE(copy_text(field, sizeof field, "x"));
    EXPECT_TRUE(append_text(field, sizeof field, "yz"));
    EXPECT_FALSE(append_text(field, sizeof field, "!"));
    EXPECT_STREQ(field, "xyz");
}

TEST(BoundedText, ZeroCapacityWritesNothing)
{
    char untouched = 'u';
    EXPECT_TRUE(copy_text(&untouched, 0, ""));
    EXPECT_FALSE(copy_text(&untouched, 0, "a"));
    EXPECT_EQ(untouched, 'u');
}
