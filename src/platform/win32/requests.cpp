// Requests to a running MOLV: a restart or a stop from another console
// through the folder's request pipe, and a leave from the console's control
// signals. Each is noted as it comes, told once by a wait, and taken by the
// cycle; like the POSIX signals, one that came outside a wait is seen by
// the next.
#include "platform/win32/requests.h"

#include "platform/platform.h"
#include "platform/request_bits.h"
#include "platform/win32/request_server.h"
#include "platform/win32/signals.h"

namespace {

// The requests that came and were not taken (request_bits.h); and those a
// wait has told of.
unsigned waiting = 0;
unsigned told = 0;

// Serves every request handle that is signalled now, without waiting.
void gather_requests()
{
    HANDLE handles[request_handle_capacity];
    const unsigned count = request_wait_handles(handles, request_handle_capacity);
    for (unsigned i = 0; i < count; ++i) {
        if (WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0) {
            serve_request_handle(handles[i]);
        }
    }
}

} // namespace

bool platform_accept_requests(char* reason, std::size_t reason_capacity)
{
    // Ctrl+C leaves MOLV whether or not the pipe can be made.
    catch_console_controls();
    return open_request_pipe(reason, reason_capacity);
}

unsigned request_wait_handles(HANDLE* handles, unsigned capacity)
{
    unsigned count = 0;
    const HANDLE sources[request_handle_capacity] = {request_pipe_event(), leave_event()};
    for (HANDLE source : sources) {
        if (source != nullptr && count < capacity) {
            handles[count++] = source;
        }
    }
    return count;
}

bool is_request_handle(HANDLE handle)
{
    return handle != nullptr && (handle == request_pipe_event() || handle == leave_event());
}

void serve_request_handle(HANDLE handle)
{
    if (handle == leave_event()) {
        waiting |= leave_request_bit;
        return;
    }
    switch (serve_request_pipe()) {
    case molv_request::restart:
        waiting |= restart_request_bit;
        break;
    case molv_request::stop:
        waiting |= stop_request_bit;
        break;
    case molv_request::none:
    case molv_request::leave:
        break;
    }
}

bool request_untold()
{
    return (waiting & ~told) != 0;
}

void mark_requests_told()
{
    told = waiting;
}

bool request_waiting()
{
    return waiting != 0;
}

molv_request platform_take_request()
{
    // A Ctrl+C or a request that came outside the waits is seen here too.
    gather_requests();
    const unsigned now = waiting;
    waiting = 0;
    told = 0;
    return most_urgent_request(now);
}
