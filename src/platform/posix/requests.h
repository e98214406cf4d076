// The requests that reach a running MOLV: SIGUSR1 asks for a restart of the
// server, SIGUSR2 for its stop and MOLV's end; outside a container's first
// process, SIGTERM, SIGINT and SIGHUP end MOLV and leave the server
// running. Internal to posix/.
#pragma once

// Whether a request came that no wait has told of yet; a wait that tells
// of it returns true once.
bool request_to_tell();

// Whether a request waits to be taken.
bool request_waiting();
