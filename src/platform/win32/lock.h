// The lock file's server record, for the file that finds a server again.
// Internal to win32/.
#pragma once

#include "platform/lock_record.h"

// The server that the lock file named when this MOLV took the lock; false
// when it named none, or no lock is held.
bool recorded_server(lock_record& record);

// Rewrites the lock file in place with this MOLV's id and `server` with its
// `identity`. Nothing without the lock.
void write_server_record(unsigned long server, const char* identity);
