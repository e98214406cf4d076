// What a running MOLV does for the requests of an operator at another
// console (molv --restart, molv --stop) and for Ctrl+C or a stop signal,
// which end MOLV alone.
#pragma once

#include "platform/platform.h"

// Takes the request that came while the server runs. For a restart or a
// stop, the server is stopped as for a scheduled restart, and true is
// returned; for a leave, true at once, the server left running; false
// when none came.
bool serve_request_while_running();

// Takes the request that came while no server runs (a pause, or the end of
// the last one just handled). True when the pause before the next launch
// is not taken: a restart was asked, or MOLV ends.
bool serve_request_between();

// The request that was taken last: restart, stop, leave, or none.
molv_request last_request();

// Whether MOLV ends, asked by a stop or a leave.
bool molv_asked_to_end();

// Says that MOLV ends while the server keeps running, when it does.
void say_molv_leaves();
