// Every child MOLV starts, the server and the on_event programs alike: only
// their handles are kept, and collecting one that ended closes them.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/children.h"

namespace {

// The record of the running server, rewritten by every launch.
PROCESS_INFORMATION server_process = {};

bool server_held = false;

server_end last_end = {false, 0, false};

HANDLE programs[event_program_capacity] = {};
unsigned program_count = 0;

} // namespace

void keep_server(const PROCESS_INFORMATION& started)
{
    server_process = started;
    server_held = true;
}

void keep_found_server(HANDLE process, DWORD id)
{
    server_process = PROCESS_INFORMATION{};
    server_process.hProcess = process;
    server_process.dwProcessId = id;
    server_held = true;
}

HANDLE server_process_handle()
{
    return server_held ? server_process.hProcess : nullptr;
}

HANDLE server_thread_handle()
{
    if (!server_held) {
        return nullptr;
    }
    return server_process.hThread != nullptr ? server_process.hThread : server_process.hProcess;
}

void finish_server()
{
    DWORD code = 0;
    if (!GetExitCodeProcess(server_process.hProcess, &code)) {
        code = 0;
    }
    last_end.by_signal = false;
    last_end.code = code;
    if (server_process.hThread != nullptr) {
        CloseHandle(server_process.hThread);
    }
    CloseHandle(server_process.hProcess);
    server_process = PROCESS_INFORMATION{};
    server_held = false;
}

unsigned long platform_server_id()
{
    return server_held ? server_process.dwProcessId : 0;
}

server_end platform_last_server_end()
{
    return last_end;
}

unsigned event_program_handles(HANDLE* handles, unsigned capacity)
{
    unsigned count = 0;
    for (; count < program_count && count < capacity; ++count) {
        handles[count] = programs[count];
    }
    return count;
}

void collect_event_program(HANDLE ended)
{
    for (unsigned i = 0; i < program_count; ++i) {
        if (programs[i] == ended) {
            CloseHandle(ended);
            programs[i] = programs[--program_count];
            programs[program_count] = nullptr;
            return;
        }
    }
}

void collect_ended_programs()
{
    for (unsigned i = 0; i < program_count;) {
        if (WaitForSingleObject(programs[i], 0) == WAIT_OBJECT_0) {
            collect_event_program(programs[i]);
        } else {
            ++i;
        }
    }
}

unsigned event_program_count()
{
    return program_count;
}

void keep_event_program(HANDLE process)
{
    if (program_count < event_program_capacity) {
        programs[program_count++] = process;
    }
}

unsigned platform_event_programs_running()
{
    collect_ended_programs();
    return program_count;
}
