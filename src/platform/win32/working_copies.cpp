// Working copies: deleted whatever attributes the copy took from the log,
// and removed when an ended MOLV left them.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/working_copies.h"
#include "platform/working_name.h"

bool process_runs(unsigned long id)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) {
        // A process of another user that may not be opened still runs.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return runs;
}

// Deletes a working copy. CopyFileA carries the log's attributes over, so a
// read-only log makes a read-only copy, which must lose that attribute to
// go; a copy that another process holds open cannot go at all, and keeps it.
void delete_working_copy(const char* path)
{
    if (DeleteFileA(path) || GetLastError() != ERROR_ACCESS_DENIED) {
        return;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return;
    }
    if (SetFileAttributesA(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) &&
        !DeleteFileA(path)) {
        SetFileAttributesA(path, attributes);
    }
}

void platform_remove_stale_copies()
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(".molv-backup-*.tmp", &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    const unsigned long self = GetCurrentProcessId();
    do {
        unsigned long owner = 0;
        const DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
        if ((found.dwFileAttributes & not_plain) == 0 &&
            parse_working_name(found.cFileName, owner) &&
            (owner == self || !process_runs(owner))) {
            delete_working_copy(found.cFileName);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}
