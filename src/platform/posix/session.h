// What is left of the server's session once its leader has ended. Works
// from the session's id alone, not from MOLV's children, so that it serves
// a server that MOLV did not start itself as well. Internal to posix/.
#pragma once

#include <sys/types.h>

// The session (and process group) of the server from now on: its leader's
// process id. Nothing of it has been asked to stop yet. A server that MOLV
// did not start (`started_here` false) leaves its orphans to another
// parent, so what is left of it is always looked for in /proc.
void watch_session(pid_t session, bool started_here = true);

// What /proc/N/stat tells of a process: its state letter, parent, process
// group and session.
struct process_fields {
    char state;
    long parent;
    long group;
    long session;
};

// Reads the fields from the text of /proc/N/stat, whose name in
// parentheses may hold blanks and parentheses; false when it is not of
// that form.
bool parse_process_stat(const char* text, process_fields& fields);

// Whether a process is left of the server's `session`: in it, in a process
// group of that number (moved to a session of its own), or a child of MOLV
// (`self`) that is not one of its event programs (`event_program`): MOLV is
// the subreaper of what the server started, so a process that left the
// session and lost its parent comes to MOLV. An ended one counts only while
// MOLV is to collect it.
bool left_of_session(const process_fields& fields, long session, long self, bool event_program);
