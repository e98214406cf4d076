// MOLV's end of the request pipe. Each step of an exchange is overlapped and
// signals the pipe's event when it completes: the listen, the request read,
// the answer written, and the client's close awaited (so that the answer is
// not thrown away) before the pipe listens again. So no wait of MOLV's ever
// blocks on a client, and a request waits in the pipe until MOLV next waits.
#include "platform/win32/request_server.h"

#include <cstring>

#include "platform/win32/reason.h"
#include "platform/win32/request_pipe.h"

namespace {

HANDLE pipe = INVALID_HANDLE_VALUE;
HANDLE pipe_event = nullptr;
OVERLAPPED exchange = {};
char message[request_message_capacity];

enum class pipe_step { listening, reading, draining };
pipe_step step = pipe_step::listening;

// Listens that failed in a row: a pipe that cannot listen is given up, so
// that it never makes a wait spin.
unsigned failed_listens = 0;
constexpr unsigned listen_tries = 3;

void give_up_pipe()
{
    CloseHandle(pipe);
    CloseHandle(pipe_event);
    pipe = INVALID_HANDLE_VALUE;
    pipe_event = nullptr;
}

// A fresh OVERLAPPED for the next step; the event is cleared before it.
OVERLAPPED* next_step(pipe_step next)
{
    step = next;
    exchange = OVERLAPPED{};
    exchange.hEvent = pipe_event;
    ResetEvent(pipe_event);
    return &exchange;
}

void listen();

// Reads the next message: the request, or (draining) whatever follows it
// until the client closes its end.
void read_message(pipe_step next)
{
    if (ReadFile(pipe, message, sizeof message, nullptr, next_step(next))) {
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_MORE_DATA) {
        // Completed at once, in part: the next step reads on.
        SetEvent(pipe_event);
    } else if (error != ERROR_IO_PENDING) {
        DisconnectNamedPipe(pipe);
        listen();
    }
}

void listen()
{
    while (pipe != INVALID_HANDLE_VALUE) {
        if (ConnectNamedPipe(pipe, next_step(pipe_step::listening))) {
            return;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            return;
        }
        if (error == ERROR_PIPE_CONNECTED) {
            // A client came before the listen.
            failed_listens = 0;
            read_message(pipe_step::reading);
            return;
        }
        // One that came and went already, or a pipe that cannot listen.
        DisconnectNamedPipe(pipe);
        if (++failed_listens >= listen_tries) {
            give_up_pipe();
        }
    }
}

// The request in the first `length` bytes of the message; none for a
// message that is no request.
molv_request request_in(DWORD length)
{
    const auto is = [&](const char* word) {
        return length == std::strlen(word) && std::memcmp(message, word, length) == 0;
    };
    return is(restart_word) ? molv_request::restart
           : is(stop_word)  ? molv_request::stop
                            : molv_request::none;
}

// Writes the answer. It goes into the pipe's own buffer, so it is done at
// once; at worst it is given up after a second.
void answer_taken()
{
    OVERLAPPED* written = next_step(pipe_step::reading);
    const DWORD length = static_cast<DWORD>(std::strlen(taken_word));
    if (WriteFile(pipe, taken_word, length, nullptr, written) ||
        GetLastError() != ERROR_IO_PENDING) {
        return;
    }
    if (WaitForSingleObject(pipe_event, 1000) != WAIT_OBJECT_0) {
        CancelIo(pipe);
    }
    DWORD done = 0;
    GetOverlappedResult(pipe, written, &done, TRUE);
}

} // namespace

bool open_request_pipe(char* reason, std::size_t reason_capacity)
{
    wchar_t name[request_pipe_name_capacity];
    SECURITY_ATTRIBUTES attributes = {};
    if (!request_pipe_name(nullptr, name, request_pipe_name_capacity)) {
        system_reason(GetLastError(), reason, reason_capacity);
        return false;
    }
    if (!request_pipe_security(attributes, reason, reason_capacity)) {
        return false;
    }
    // The first instance, or none: a pipe of that name made by anyone else
    // is never taken for MOLV's. One instance, as requests are few.
    pipe = CreateNamedPipeW(name,
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT |
                                PIPE_REJECT_REMOTE_CLIENTS,
                            1, 64, 64, 0, &attributes);
    if (pipe != INVALID_HANDLE_VALUE) {
        pipe_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    if (pipe == INVALID_HANDLE_VALUE || pipe_event == nullptr) {
        system_reason(GetLastError(), reason, reason_capacity);
        if (pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(pipe);
            pipe = INVALID_HANDLE_VALUE;
        }
        return false;
    }
    listen();
    return true;
}

HANDLE request_pipe_event()
{
    return pipe_event;
}

molv_request serve_request_pipe()
{
    if (pipe == INVALID_HANDLE_VALUE) {
        return molv_request::none;
    }
    DWORD got = 0;
    const bool done = GetOverlappedResult(pipe, &exchange, &got, FALSE) != 0;
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_INCOMPLETE) {
        return molv_request::none;
    }
    molv_request request = molv_request::none;
    switch (step) {
    case pipe_step::listening:
        if (done) {
            failed_listens = 0;
            read_message(pipe_step::reading);
            return request;
        }
        break;
    case pipe_step::reading:
        if (done && (request = request_in(got)) != molv_request::none) {
            answer_taken();
        }
        if (done || error == ERROR_MORE_DATA) {
            read_message(pipe_step::draining);
            return request;
        }
        break;
    case pipe_step::draining:
        if (done || error == ERROR_MORE_DATA) {
            read_message(pipe_step::draining);
            return request;
        }
        break;
    }
    // The client has gone.
    DisconnectNamedPipe(pipe);
    listen();
    return request;
}
