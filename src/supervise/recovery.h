// What a MOLV started again owes the server the MOLV before it started: the
// processes it left and its log, when it ended while no MOLV ran.
#pragma once

#include "platform/lock_record.h"

// Whether the log of the recorded server, which has ended, is still to be
// copied: backups are on, a log is there (`log_fingerprint`, "" when none),
// no copy was made after its end (none recorded, or the recorded one,
// `recorded_copy_there`, is missing: the MOLV ended while copying), and the
// log is not the very one that was there at the server's launch (the server
// never wrote it: it never ran).
bool log_left_to_back_up(bool backups_on, const lock_record& record, const char* log_fingerprint,
                         bool recorded_copy_there);

// Takes over from the MOLV before when its server no longer runs: stops
// what that server left running, then backs up its log once, named after
// the log's own modification time.
void take_over_ended_server();
