// The server's record in the lock file, written by the launch before the
// server can run. Internal to posix/.
#pragma once

// Records the server started last (platform_server_id) in the lock file
// with what tells it apart from a later process with the same id. Nothing
// without the lock or a running server.
void record_server();
