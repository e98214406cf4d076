// What counts as left of the server's session, read from /proc/N/stat.
#include <gtest/gtest.h>

#include "platform/posix/session.h"

namespace {

struct stat_case {
    const char* text;
    bool parsed;
    bool left; // of session 500, MOLV being process 7
    bool event_program = false;
};

// The server's session is 500, MOLV is process 7.
const stat_case cases[] = {
    // The game under a wrapper: in the session and its group.
    {"612 (game.bin) S 500 500 500 0 -1 4194560 120 0", true, true},
    // A name with blanks and parentheses, as a Wine program may have.
    {"613 (wine) (x) S) R 612 500 500 0 -1", true, true},
    // A helper that moved to a group of its own inside the session.
    {"614 (helper) S 1 614 500 0", true, true},
    // One that left for a session of its own but kept the group's number.
    {"615 (daemon) S 1 500 615 0", true, true},
    // Elsewhere altogether.
    {"616 (bash) S 1 616 616 0", true, false},
    // Ended: left while it is MOLV's to collect, not while another's.
    {"617 (game.bin) Z 7 500 500 0", true, true},
    {"618 (game.bin) Z 612 500 500 0", true, false},
    // One that left the session for its own and came to MOLV when its
    // parent ended; an event program of MOLV's is no such orphan.
    {"621 (helper) S 7 621 621 0", true, true},
    {"622 (notify.sh) S 7 622 622 0", true, false, true},
    {"623 (helper) Z 7 623 623 0", true, true},
    // Not a record of this form.
    {"619 game.bin S 1 500 500", false, false},
    {"620 (game.bin) S", false, false},
    {"", false, false},
};

TEST(posix_session, WhatIsLeftOfTheSessionIsToldFromItsStatRecord)
{
    for (const stat_case& item : cases) {
        process_fields fields = {};
        EXPECT_EQ(parse_process_stat(item.text, fields), item.parsed) << item.text;
        EXPECT_EQ(item.parsed && left_of_session(fields, 500, 7, item.event_program), item.left) << item.text;
    }
}

} // namespace
