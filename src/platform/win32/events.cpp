// The on_event programs, started with CreateProcessA in MOLV's console; their
// process handles go to the owner of the children, which collects them when
// they end, and the wait for the server watches them.
#include <windows.h>

#include <cstdio>

#include "platform/command_words.h"
#include "platform/platform.h"
#include "platform/win32/children.h"
#include "platform/win32/library.h"
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

using initialize_list_function = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD,
                                               PSIZE_T);
using update_list_function = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR,
                                           PVOID, SIZE_T, PVOID, PSIZE_T);
using delete_list_function = VOID(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST);

// The attribute list of a start that names exactly the handles to inherit
// (Windows Vista on); absent before, or after the system refused it once.
struct handle_list_functions {
    bool looked;
    initialize_list_function initialize;
    update_list_function update;
    delete_list_function remove;
};
handle_list_functions lists = {};

bool handle_lists_available()
{
    if (!lists.looked) {
        lists.looked = true;
        HMODULE kernel = GetModuleHandleA("kernel32.dll");
        if (kernel != nullptr) {
            lists.initialize = system_function<initialize_list_function>(
                kernel, "InitializeProcThreadAttributeList");
            lists.update = system_function<update_list_function>(kernel,
                                                                 "UpdateProcThreadAttribute");
            lists.remove = system_function<delete_list_function>(
                kernel, "DeleteProcThreadAttributeList");
        }
    }
    return lists.initialize != nullptr && lists.update != nullptr && lists.remove != nullptr;
}

// Starts the program with `startup`, its handles inheritable, passing on
// those alone. Where the system has no handle list or refuses it, every
// handle MOLV itself inherited is kept from its children instead, and the
// start goes on without the list (MOLV kept what it inherited from its
// children at start).
BOOL start_with_handle_list(const char* program, STARTUPINFOA& startup,
                            PROCESS_INFORMATION& started)
{
    HANDLE handles[3];
    SIZE_T count = 0;
    const HANDLE standard[3] = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
    for (HANDLE handle : standard) {
        bool seen = handle == nullptr;
        for (SIZE_T i = 0; i < count; ++i) {
            seen = seen || handles[i] == handle;
        }
        if (!seen) {
            handles[count++] = handle;
        }
    }
    alignas(16) static unsigned char list_room[256];
    SIZE_T size = sizeof list_room;
    STARTUPINFOEXA extended = {};
    extended.StartupInfo = startup;
    extended.StartupInfo.cb = sizeof extended;
    extended.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_room);
    if (count != 0 && handle_lists_available() &&
        lists.initialize(extended.lpAttributeList, 1, 0, &size)) {
        const bool listed = lists.update(extended.lpAttributeList, 0,
                                         PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                         count * sizeof(HANDLE), nullptr, nullptr) != 0;
        const BOOL ok = listed && CreateProcessA(program, command_buffer, nullptr, nullptr, TRUE,
                                                 EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                                 &extended.StartupInfo, &started);
        const DWORD error = GetLastError();
        lists.remove(extended.lpAttributeList);
        if (ok || (listed && error != ERROR_INVALID_PARAMETER)) {
            SetLastError(error);
            return ok;
        }
        lists.initialize = nullptr;
    }
    return CreateProcessA(program, command_buffer, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &started);
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
    const BOOL ok = start_with_handle_list(program, startup, started);
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
