// The start of the programs MOLV runs. Internal to posix/.
#pragma once

#include <sys/types.h>

// Starts `program` (no search) with `words` in a new process and waits
// only until it runs the program: input from the null device (or closed
// where there is none), no descriptor of MOLV's beyond the standard ones,
// the signals MOLV ignores or catches back at their defaults, none blocked.
// The server (`server`) gets a session of its own and its record in the
// lock file before it runs, and becomes the server MOLV waits for. Returns
// the process id, or -1 with the system's error in `error`.
pid_t start_program(const char* program, char* const* words, bool server, int& error);
