// The lock file's server record, for the file that finds a server again.
// Internal to posix/.
#pragma once

#include "platform/lock_record.h"

// Rewrites the lock file in place with this MOLV's id and `server` with its
// `identity`. Nothing without the lock.
void write_server_record(unsigned long server, const char* identity);

// Puts back the record from before the last write_server_record: the
// launch it was written for failed.
void undo_server_record();
