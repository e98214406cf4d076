// The arguments MOLV answers without supervising: --version, --help, and
// the requests to the MOLV that runs in the current folder, --status,
// --restart and --stop. An unknown argument that begins with "--" is an
// error; every other argument is ignored.
#pragma once

#include <cstddef>

// What the command line asks for.
enum class program_request { supervise, version, help, status, restart, stop, unknown };

// The exit statuses of the program, for service managers and scripts.
enum exit_status : int {
    exit_fine = 0,
    // --status: MOLV runs here, the server does not; --stop: MOLV did not
    // end in time; --version and --help: the text could not be written.
    exit_not_running = 1,
    exit_usage = 2,          // an unknown option
    exit_no_molv = 3,        // no MOLV runs in this folder
    exit_not_allowed = 4,    // this user may not ask the MOLV that runs here
    exit_cannot_start = 5,   // the server cannot be started at all
    exit_already_running = 6 // another MOLV runs in this folder
};

// The request of the first argument (after the program's name) that MOLV
// knows or that is an unknown option; `supervise` when there is none. The
// unknown option is then `unknown_option`.
program_request read_arguments(int count, const char* const* arguments);
extern const char* unknown_option;

// Prints the version, the help or the error of an unknown option, and
// nothing else: no settings are read and nothing is started. Returns the
// exit status.
int answer_request(program_request request);
