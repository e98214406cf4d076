// The one owner of every child MOLV starts, the server and the on_event
// programs alike: who runs, and what is known of those that ended. The
// files that start children hand their process ids here; collecting them
// frees their places. Internal to posix/.
#pragma once

#include <sys/types.h>

// Records the server just started, which has not ended yet.
void keep_server(pid_t pid);

// Takes a server found again as the server that runs: not MOLV's child,
// its end told by `pidfd` (-1 where the system has none), which the wait
// takes over.
void keep_found_server(pid_t pid, int pidfd);

// Whether the running server is one found again, not MOLV's child.
bool server_is_found();

// Hands the found server's pidfd to the wait, once; -1 otherwise.
int take_found_pidfd();

// The found server has ended; its status cannot be known.
void note_found_server_ended();

// The running server's process id, -1 while none runs. Safe in a signal
// handler.
pid_t running_server();

// Whether the server started last has ended and been collected.
bool server_collected();

// The server is gone without a status: no child was left to wait for.
void note_server_vanished();

// Notes a child that has ended, as waitpid reported it with `status`.
void note_ended_child(pid_t ended, int status);

// Lets go of the collected server: its end becomes the last server end and
// no server runs any more.
void release_server();

// Forgets the server just made, which never ran (its start failed), and
// has been collected.
void forget_server();

// Whether the last collect_children found MOLV without any child at all:
// then nothing that the server started can be left, as MOLV is the
// subreaper of all of it.
bool no_children_left();

// The event programs kept as running, without looking for ended ones.
unsigned event_programs_kept();

// MOLV's own process id, asked of the system once.
pid_t own_pid();

// Whether `pid` is one of the event programs that run.
bool is_event_program(pid_t pid);

// Collects every child that has ended, without blocking: the server's end
// is kept for the wait, an event program's place is freed, orphans go.
void collect_children();

// Whether another event program may run now.
bool event_program_room();

// Keeps the event program just started, in the place event_program_room
// found free.
void keep_event_program(pid_t pid);

// Whether every child of MOLV is one of its event programs, by the list of
// children the system keeps for MOLV's one thread; false when that list
// cannot be read whole.
bool only_event_programs_left();
