// The server's record in the lock file, written by the launch before the
// server can run. Internal to posix/.
#pragma once

// Reads beforehand what record_server needs of the system, so that the
// new process, which shares MOLV's memory until it starts the game, only
// writes the record.
void prepare_server_record();

// Records the server `id` in the lock file with what tells it apart from a
// later process with the same id. Nothing without the lock.
void record_server(unsigned long id);
