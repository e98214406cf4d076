// What the POSIX backend's files share about the children MOLV starts and
// the descriptors a wait for the server watches. Internal to posix/.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>

// Collects every child that has ended, without blocking: the server's end
// is kept for the wait, an event program's is forgotten, orphans go.
void collect_children();

// Forgets an on_event program that has ended (events.cpp).
void forget_event_program(pid_t pid);

// The signal mask to wait with (ppoll): MOLV's own, with SIGCHLD and, as a
// container's first process, the stop signals let in. Outside such waits
// they stay blocked, so that one that comes just before a wait still
// interrupts it.
sigset_t waiting_signal_mask();

// The query socket, or -1 when none is open (query.cpp).
int query_descriptor();

// The alarm's timer, or -1 while none is set (alarm.cpp).
int alarm_descriptor();

// Consumes the alarm's expiry or the news that the clock was set; true when
// either was there.
bool take_alarm();

// Sets up the launch of a program of MOLV's: input from `null_device` (or
// closed where there is none, -1), no descriptor of MOLV's beyond the
// standard ones, the signals MOLV ignores or catches back at their
// defaults, none blocked, and a session of its own when `own_session`.
// Both records are initialised here; the caller destroys them.
void prepare_launch(posix_spawn_file_actions_t& actions, posix_spawnattr_t& attributes,
                    int null_device, bool own_session);
