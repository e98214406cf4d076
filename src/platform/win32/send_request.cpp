// A request from another console to the MOLV of this folder, through the
// folder's request pipe. The MOLV of the record is opened first and held, so
// that its id cannot pass to another process meanwhile; the pipe is taken
// only when that very process serves it, and the request is written only
// then. A stale record, or a pipe that another process made, gets nothing.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/identity.h"
#include "platform/win32/reason.h"
#include "platform/win32/request_pipe.h"

namespace {

// How long a busy pipe (another console's request under way) is waited
// for, and how long MOLV may take to answer: it answers from its waits,
// and a log copy or a start in between holds it up.
constexpr DWORD busy_wait_ms = 10000;
constexpr DWORD answer_wait_ms = 30000;

// Opens the pipe, waiting while it is busy; INVALID_HANDLE_VALUE with the
// last error set otherwise. The server may identify the client, never act
// as it.
HANDLE open_pipe(const wchar_t* name)
{
    const unsigned long long deadline = platform_monotonic_ms() + busy_wait_ms;
    for (;;) {
        const HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT |
                                            SECURITY_IDENTIFICATION,
                                        nullptr);
        const unsigned long long now = platform_monotonic_ms();
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY || now >= deadline) {
            return pipe;
        }
        WaitNamedPipeW(name, static_cast<DWORD>(deadline - now));
    }
}

// Whether the pipe's server is the process `molv`, which still runs.
bool served_by(HANDLE pipe, HANDLE molv_process, unsigned long molv)
{
    ULONG server = 0;
    return GetNamedPipeServerProcessId(pipe, &server) && server == molv &&
           WaitForSingleObject(molv_process, 0) == WAIT_TIMEOUT;
}

// Writes the request as one message and waits for the answer. Once the
// request is written whole, it waits in the pipe until MOLV next waits, so
// an answer that is slow to come still means sent; only MOLV's end (or a
// pipe that broke with MOLV gone) without the answer means not taken.
request_sent exchange(HANDLE pipe, HANDLE molv_process, molv_request request)
{
    const char* word = request == molv_request::restart ? restart_word : stop_word;
    const DWORD length = static_cast<DWORD>(std::strlen(word));
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr) {
        return request_sent::not_running;
    }
    OVERLAPPED step = {};
    step.hEvent = done;
    DWORD count = 0;
    const bool written = (WriteFile(pipe, word, length, nullptr, &step) ||
                          GetLastError() == ERROR_IO_PENDING) &&
                         GetOverlappedResult(pipe, &step, &count, TRUE) && count == length;
    bool answered = false;
    bool molv_ended = false;
    if (written) {
        char answer[request_message_capacity] = "";
        step = OVERLAPPED{};
        step.hEvent = done;
        // A read that fails at once leaves nothing to collect.
        const bool reading = ReadFile(pipe, answer, sizeof answer, nullptr, &step) ||
                             GetLastError() == ERROR_IO_PENDING;
        const HANDLE ends[2] = {done, molv_process};
        if (reading &&
            WaitForMultipleObjects(2, ends, FALSE, answer_wait_ms) != WAIT_OBJECT_0) {
            CancelIo(pipe);
        }
        answered = reading && GetOverlappedResult(pipe, &step, &count, TRUE) && count > 0;
        molv_ended = WaitForSingleObject(molv_process, 0) != WAIT_TIMEOUT;
    }
    CloseHandle(done);
    return written && (answered || !molv_ended) ? request_sent::sent : request_sent::not_running;
}

} // namespace

request_sent platform_send_request(unsigned long molv, const char* identity, molv_request request,
                                   char* reason, std::size_t reason_capacity)
{
    const HANDLE molv_process = open_recorded_process(molv, identity, 0);
    if (molv_process == nullptr) {
        return request_sent::not_running;
    }
    wchar_t name[request_pipe_name_capacity];
    HANDLE pipe = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_FILE_NOT_FOUND;
    if (request_pipe_name(nullptr, name, request_pipe_name_capacity)) {
        pipe = open_pipe(name);
        error = GetLastError();
    }
    request_sent result = request_sent::not_running;
    if (pipe == INVALID_HANDLE_VALUE && error == ERROR_ACCESS_DENIED) {
        system_reason(error, reason, reason_capacity);
        result = request_sent::refused;
    } else if (pipe != INVALID_HANDLE_VALUE && served_by(pipe, molv_process, molv)) {
        result = exchange(pipe, molv_process, request);
    }
    if (pipe != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe);
    }
    CloseHandle(molv_process);
    return result;
}
