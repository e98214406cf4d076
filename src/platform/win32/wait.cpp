// The waits of the process: for the server with WaitForMultipleObjects on
// everything else MOLV waits for at the same time, and the pause between
// starts. Event programs that end meanwhile are collected, and requests
// that come are served.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/children.h"
#include "platform/win32/requests.h"
#include "platform/win32/waitables.h"

namespace {

// The server, the query socket, the alarm, the requests and the event
// programs.
constexpr unsigned wait_capacity = 3 + request_handle_capacity + event_program_capacity;

// The time left until `deadline_ms` as a wait's timeout; INFINITE for none.
DWORD time_left(unsigned long long deadline_ms)
{
    if (deadline_ms == 0) {
        return INFINITE;
    }
    const unsigned long long now = platform_monotonic_ms();
    if (now >= deadline_ms) {
        return 0;
    }
    const unsigned long long left = deadline_ms - now;
    return left < INFINITE ? static_cast<DWORD>(left) : INFINITE - 1;
}

} // namespace

server_wake platform_wait_server_until(unsigned long long deadline_ms)
{
    // The process, not its first thread: a server may end that thread and
    // run on in others.
    const HANDLE server = server_process_handle();
    if (server == nullptr) {
        return server_wake::ended;
    }
    for (;;) {
        HANDLE handles[wait_capacity];
        DWORD count = 0;
        // The server stays first: a wait for any of them names the
        // lowest signalled one, so the server's end is never passed over.
        handles[count++] = server;
        const HANDLE query = query_wait_event();
        const DWORD query_index = count;
        if (query != nullptr) {
            handles[count++] = query;
        }
        const HANDLE alarm = alarm_wait_timer();
        const DWORD alarm_index = count;
        if (alarm != nullptr) {
            handles[count++] = alarm;
        }
        count += request_wait_handles(handles + count, wait_capacity - count);
        const DWORD programs_from = count;
        count += event_program_handles(handles + count, wait_capacity - count);

        // A request noted and not told yet is told once the server's end
        // has been looked for, without waiting.
        const bool untold = request_untold();
        const DWORD result =
            WaitForMultipleObjects(count, handles, FALSE, untold ? 0 : time_left(deadline_ms));
        if (result == WAIT_OBJECT_0) {
            finish_server();
            return server_wake::ended;
        }
        if (result == WAIT_TIMEOUT && untold) {
            mark_requests_told();
            return server_wake::asked;
        }
        if (result == WAIT_TIMEOUT) {
            // A wait may end a little before its timeout; the deadline
            // counts on the monotonic clock alone.
            if (time_left(deadline_ms) == 0) {
                return server_wake::deadline;
            }
            continue;
        }
        if (result == WAIT_FAILED || result >= WAIT_OBJECT_0 + count) {
            // Not to be expected with handles of MOLV's own; the server
            // alone is still waited for, so that this never spins.
            if (WaitForSingleObject(server, time_left(deadline_ms)) ==
                WAIT_OBJECT_0) {
                finish_server();
                return server_wake::ended;
            }
            return server_wake::deadline;
        }
        const DWORD index = result - WAIT_OBJECT_0;
        if (query != nullptr && index == query_index) {
            return server_wake::query_ready;
        }
        if (alarm != nullptr && index == alarm_index) {
            return server_wake::alarm;
        }
        if (index >= programs_from) {
            collect_event_program(handles[index]);
        } else if (is_request_handle(handles[index])) {
            serve_request_handle(handles[index]);
        }
    }
}

void platform_sleep_seconds(unsigned seconds)
{
    if (seconds == 0) {
        return;
    }
    const unsigned long long deadline = platform_monotonic_ms() + seconds * 1000ULL;
    // A request that waits to be taken ends the pause.
    while (!request_waiting()) {
        const DWORD left = time_left(deadline);
        if (left == 0) {
            return;
        }
        HANDLE handles[request_handle_capacity + event_program_capacity];
        DWORD count = request_wait_handles(handles, request_handle_capacity);
        count += event_program_handles(handles + count, event_program_capacity);
        if (count == 0) {
            Sleep(left);
            continue;
        }
        // Event programs that end meanwhile are collected at once.
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, left);
        if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
            const HANDLE ready = handles[result - WAIT_OBJECT_0];
            if (is_request_handle(ready)) {
                serve_request_handle(ready);
            } else {
                collect_event_program(ready);
            }
        } else if (result == WAIT_FAILED) {
            Sleep(left);
        }
    }
}

bool platform_wait_event_programs_until(unsigned long long deadline_ms)
{
    for (;;) {
        HANDLE programs[event_program_capacity];
        const unsigned count = event_program_handles(programs, event_program_capacity);
        const DWORD left = time_left(deadline_ms);
        if (count == 0 || left == 0) {
            return count == 0;
        }
        const DWORD result = WaitForMultipleObjects(count, programs, FALSE, left);
        if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
            collect_event_program(programs[result - WAIT_OBJECT_0]);
        } else if (result == WAIT_FAILED) {
            Sleep(left);
        }
    }
}
