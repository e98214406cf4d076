// The start of the programs MOLV runs. Internal to posix/.
#pragma once

#include <spawn.h>

// Sets up the launch of a program of MOLV's: input from `null_device` (or
// closed where there is none, -1), no descriptor of MOLV's beyond the
// standard ones, the signals MOLV ignores or catches back at their
// defaults, none blocked, and a session of its own when `own_session`.
// Both records are initialised here; the caller destroys them.
void prepare_launch(posix_spawn_file_actions_t& actions, posix_spawnattr_t& attributes,
                    int null_device, bool own_session);
