// The record in "molv.lock": a server is taken only from a record written
// whole, and MOLV's own id from any whose first line is whole; what a MOLV
// started again owes the server of the one before follows from it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/lock_record.h"
#include "supervise/recovery.h"

namespace {

lock_record server_record(const char* identity, const char* log = "", bool answered = false,
                          const char* backup = "")
{
    lock_record record = {};
    record.molv = 4242;
    record.server = 4250;
    std::strncpy(record.identity, identity, sizeof record.identity - 1);
    std::strncpy(record.log, log, sizeof record.log - 1);
    record.answered = answered;
    std::strncpy(record.backup, backup, sizeof record.backup - 1);
    return record;
}

} // namespace

TEST(LockRecord, OnlyAWholeRecordNamesTheServer)
{
    const lock_record written =
        server_record("8812345 1f0c5c3e-0a4b", "12 2048 1765275123.250000000", true,
                      "9.12.2026__10_12_03.log");
    char text[lock_record_capacity];
    ASSERT_TRUE(compose_lock_record(written, text, sizeof text));
    const std::string whole = text;
    EXPECT_EQ(whole, "molv 4242\nserver 4250 8812345 1f0c5c3e-0a4b\n"
                     "log 12 2048 1765275123.250000000\nanswered\n"
                     "backup 9.12.2026__10_12_03.log\nend\n");

    struct entry {
        std::string text;
        bool read;
        unsigned long molv;
        unsigned long server;
        bool answered = false;
        const char* backup = "";
    };
    const entry cases[] = {
        {whole, true, 4242, 4250, true, "9.12.2026__10_12_03.log"},
        // Cut anywhere before the end line is whole: no server, nothing of it.
        {whole.substr(0, whole.size() - 1), true, 4242, 0},
        {whole.substr(0, whole.find("end")), true, 4242, 0},
        {whole.substr(0, whole.find("\nend")), true, 4242, 0},
        {whole.substr(0, whole.find("answered")), true, 4242, 0},
        {"molv 4242\nend\n", true, 4242, 0},
        {"molv 42", false, 0, 0},
        {"", false, 0, 0},
        {"molv x\nserver 4250 1\nend\n", false, 0, 0},
        {"molv 1\nserver 0 1\nend\n", true, 1, 0},
        {"molv 1\nserver 4250\nend\n", true, 1, 0},
        {"molv 1\nserver 4250 \nend\n", true, 1, 0},
        {"molv 1\nserver 99999999999 1\nend\n", true, 1, 0},
        {"molv 1\nserver 4250 1\nended\n", true, 1, 0},
        // The lines after the server each as written, none unknown.
        {"molv 1\nserver 4250 1\nend\n", true, 1, 4250},
        {"molv 1\nserver 4250 1\nbackup a.log\nend\n", true, 1, 4250, false, "a.log"},
        {"molv 1\nserver 4250 1\nanswered\nend\n", true, 1, 4250, true},
        {"molv 1\nserver 4250 1\nbackup \nend\n", true, 1, 0},
        {"molv 1\nserver 4250 1\nlog \nend\n", true, 1, 0},
        {"molv 1\nserver 4250 1\nanswered!\nend\n", true, 1, 0},
        {"molv 1\nserver 4250 1\nbackup " + std::string(record_backup_capacity, 'x') + "\nend\n",
         true, 1, 0},
    };
    for (const entry& each : cases) {
        lock_record read = {};
        EXPECT_EQ(parse_lock_record(each.text.data(), each.text.size(), read), each.read)
            << each.text;
        EXPECT_EQ(read.molv, each.molv) << each.text;
        EXPECT_EQ(read.server, each.server) << each.text;
        EXPECT_EQ(read.answered, each.answered) << each.text;
        EXPECT_STREQ(read.backup, each.backup) << each.text;
    }
    lock_record read = {};
    ASSERT_TRUE(parse_lock_record(whole.data(), whole.size(), read));
    EXPECT_STREQ(read.identity, "8812345 1f0c5c3e-0a4b");
    EXPECT_STREQ(read.log, "12 2048 1765275123.250000000");

    // A text with a line end, or a record too long for the file, is not written.
    EXPECT_FALSE(compose_lock_record(server_record("1\n2"), text, sizeof text));
    EXPECT_FALSE(compose_lock_record(server_record("1", "2\r"), text, sizeof text));
    EXPECT_FALSE(compose_lock_record(server_record("1", "", false, "a\nb"), text, sizeof text));
    EXPECT_FALSE(compose_lock_record(written, text, 20));
    EXPECT_STREQ(text, "");

    // The longest record of every field fits its room.
    lock_record longest = server_record(std::string(process_identity_capacity - 1, '9').c_str(),
                                        std::string(file_fingerprint_capacity - 1, '8').c_str(),
                                        true,
                                        std::string(record_backup_capacity - 1, '7').c_str());
    longest.molv = 4294967295UL;
    longest.server = 4294967295UL;
    longest.molv_since = 9000000000000000000LL;
    std::memset(longest.molv_identity, '6', sizeof longest.molv_identity - 1);
    run_facts& facts = longest.facts;
    facts.launches = 9000000000000000000ULL;
    facts.server_since = facts.last_end_at = facts.next_start = facts.next_restart =
        9000000000000000000LL;
    std::strcpy(facts.last_end, "scheduled");
    facts.players_known = true;
    facts.players = facts.max_players = 999999999;
    std::memset(facts.map, 'm', sizeof facts.map - 1);
    EXPECT_TRUE(compose_lock_record(longest, text, sizeof text));
    lock_record longest_read = {};
    ASSERT_TRUE(parse_lock_record(text, std::strlen(text), longest_read));
    EXPECT_TRUE(same_facts(longest_read.facts, facts));
    EXPECT_STREQ(longest_read.molv_identity, longest.molv_identity);
}

TEST(LockRecord, TheLogOfAServerThatEndedAloneIsCopiedOnce)
{
    const char* const at_launch = "12 2048 1765275123.250000000";
    const char* const written_since = "12 4096 1765275999.000000000";
    struct entry {
        const char* what;
        bool backups_on;
        lock_record record;
        const char* log_now;
        bool copy_there;
        bool copy;
    };
    const entry cases[] = {
        {"ended unseen, wrote its log", true, server_record("1", at_launch), written_since, false,
         true},
        {"ended unseen, no log at its launch", true, server_record("1"), written_since, false, true},
        {"never ran: the log is the one before it", true, server_record("1", at_launch), at_launch,
         false, false},
        {"no log now", true, server_record("1", at_launch), "", false, false},
        {"backups off", false, server_record("1", at_launch), written_since, false, false},
        {"copied after its end", true, server_record("1", at_launch, true, "a.log"),
         written_since, true, false},
        {"its copy was cut short", true, server_record("1", at_launch, true, "a.log"),
         written_since, false, true},
        {"no server recorded", true, lock_record{}, written_since, false, false},
    };
    for (const entry& each : cases) {
        EXPECT_EQ(log_left_to_back_up(each.backups_on, each.record, each.log_now, each.copy_there),
                  each.copy)
            << each.what;
    }
}
