// The on_event programs, started with CreateProcessA in MOLV's console; their
// process handles go to the owner of the children, which collects them when
// they end, and the wait for the server watches them.
#include <windows.h>

#include <cstdio>

#include "platform/command_words.h"
#include "platform/platform.h"
#include "platform/win32/children.h"
#include "platform/win32/reason.h"

namespace {

// Far below the 32767 characters a command line may have; a detail that does
// not fit is cut.
char command_buffer[1024];

// A standard handle of MOLV's as a program can inherit it: the handle itself
// when it is inheritable already, otherwise a duplicate that is, which
// `made` receives to be closed after the start.
HANDLE inheritable_standard_handle(DWORD which, HANDLE& made)
{
    made = nullptr;
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    DWORD flags = 0;
    if (GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0) {
        return handle;
    }
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, handle, self, &made, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        made = nullptr;
        return handle;
    }
    return made;
}

void close_if_made(HANDLE made)
{
    if (made != nullptr) {
        CloseHandle(made);
    }
}

} // namespace

bool platform_run_event_program(const char* program, const char* event, const char* detail,
                                char* reason, std::size_t reason_capacity)
{
    collect_ended_programs();
    if (event_program_count() >= event_program_capacity) {
        std::snprintf(reason, reason_capacity, "%u event programs are still running",
                      event_program_count());
        return false;
    }
    if (!compose_event_command_line(program, event, detail, command_buffer,
                                    sizeof command_buffer)) {
        system_reason(ERROR_FILENAME_EXCED_RANGE, reason, reason_capacity);
        return false;
    }

    // The program gets exactly its three standard handles: inheritable
    // for this start alone, while nothing else of MOLV's is.
    SECURITY_ATTRIBUTES inheritable = {};
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        input = nullptr;
    }
    HANDLE made_output = nullptr;
    HANDLE made_error = nullptr;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = inheritable_standard_handle(STD_OUTPUT_HANDLE, made_output);
    startup.hStdError = inheritable_standard_handle(STD_ERROR_HANDLE, made_error);

    // Without a new console the program writes into MOLV's. CreateProcessA
    // starts a batch file through the command processor by itself.
    PROCESS_INFORMATION started = {};
    const BOOL ok = CreateProcessA(program, command_buffer, nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &started);
    const DWORD error = GetLastError();
    close_if_made(input);
    close_if_made(made_output);
    close_if_made(made_error);
    if (!ok) {
        system_reason(error, reason, reason_capacity, program);
        return false;
    }
    CloseHandle(started.hThread);
    keep_event_program(started.hProcess);
    return true;
}

bool platform_event_program_found(const char* program)
{
    const DWORD attributes = GetFileAttributesA(program);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
