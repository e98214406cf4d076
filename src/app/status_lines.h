// What "molv --status" says of a folder, from the lock file's record and
// whether the processes it names still run. Pure: the local time comes
// from the caller.
#pragma once

#include <cstddef>
#include <ctime>

#include "platform/lock_record.h"

struct folder_view {
    bool record_read;   // a record written whole was read
    lock_record record; // as read
    bool molv_runs;     // the MOLV of the record runs
    bool server_runs;   // the server of the record runs
    long long now;      // seconds since 1970-01-01 UTC
};

// Turns seconds since 1970-01-01 UTC into the local calendar time.
using local_time_of = std::tm (*)(long long epoch_seconds);

// Writes the lines (each ending in a line end) to `destination`, cut to
// its capacity, and returns the exit status: 0 when MOLV and the server
// run, 1 when MOLV runs and the server does not, 3 when no MOLV runs.
int describe_folder(const folder_view& view, local_time_of local, char* destination,
                    std::size_t capacity);
