// The record in "molv.lock": a server is taken only from a record written
// whole, and MOLV's own id from any whose first line is whole.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/lock_record.h"

TEST(LockRecord, OnlyAWholeRecordNamesTheServer)
{
    lock_record written = {4242, 4250, "8812345 1f0c5c3e-0a4b"};
    char text[lock_record_capacity];
    ASSERT_TRUE(compose_lock_record(written, text, sizeof text));
    const std::string whole = text;
    EXPECT_EQ(whole, "molv 4242\nserver 4250 8812345 1f0c5c3e-0a4b\nend\n");

    struct entry {
        std::string text;
        bool read;
        unsigned long molv;
        unsigned long server;
    };
    const entry cases[] = {
        {whole, true, 4242, 4250},
        // Cut anywhere before the end line is whole: no server.
        {whole.substr(0, whole.size() - 1), true, 4242, 0},
        {whole.substr(0, whole.find("end")), true, 4242, 0},
        {whole.substr(0, whole.find("\nend")), true, 4242, 0},
        {"molv 4242\nend\n", true, 4242, 0},
        {"molv 42", false, 0, 0},
        {"", false, 0, 0},
        {"molv x\nserver 4250 1\nend\n", false, 0, 0},
        {"molv 1\nserver 0 1\nend\n", true, 1, 0},
        {"molv 1\nserver 4250\nend\n", true, 1, 0},
        {"molv 1\nserver 4250 \nend\n", true, 1, 0},
        {"molv 1\nserver 99999999999 1\nend\n", true, 1, 0},
        {"molv 1\nserver 4250 1\nended\n", true, 1, 0},
    };
    for (const entry& each : cases) {
        lock_record read = {};
        EXPECT_EQ(parse_lock_record(each.text.data(), each.text.size(), read), each.read)
            << each.text;
        EXPECT_EQ(read.molv, each.molv) << each.text;
        EXPECT_EQ(read.server, each.server) << each.text;
    }
    lock_record read = {};
    ASSERT_TRUE(parse_lock_record(whole.data(), whole.size(), read));
    EXPECT_STREQ(read.identity, "8812345 1f0c5c3e-0a4b");

    // An identity with a line end, or one too long for the file, is not written.
    lock_record bad = {1, 2, "1\n2"};
    EXPECT_FALSE(compose_lock_record(bad, text, sizeof text));
    EXPECT_FALSE(compose_lock_record(written, text, 20));
    EXPECT_STREQ(text, "");
}
