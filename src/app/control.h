// The operator's commands for the MOLV that runs in the current folder:
// --status, --restart and --stop. They start nothing and wait for no key.
#pragma once

#include "app/arguments.h"

// Runs the command `request` (status, restart or stop); returns the exit
// status.
int run_control(program_request request);
