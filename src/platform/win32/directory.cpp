// Removing old files from the current directory: one search over it, which
// brings each file's attributes and last-write time along with its name.
#include <windows.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/reason.h"

namespace {

unsigned long long file_time_value(const FILETIME& time)
{
    return static_cast<unsigned long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

} // namespace

void platform_remove_old_files(removal_filter wanted, const void* context,
                               unsigned long long age_seconds, const char* spared,
                               removal_pass& pass)
{
    pass.removed = 0;
    pass.failed = 0;
    copy_text(pass.reason, sizeof pass.reason, "");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("*", &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES) {
            pass.failed = 1;
            system_reason(error, pass.reason, sizeof pass.reason);
        }
        return;
    }
    FILETIME now_time;
    GetSystemTimeAsFileTime(&now_time);
    const unsigned long long now = file_time_value(now_time);
    // File times count in steps of 100 nanoseconds.
    const unsigned long long age = age_seconds * 10000000ULL;
    // The spared file is known by its full path, however it is written.
    char spared_path[MAX_PATH];
    const DWORD spared_length = GetFullPathNameA(spared, sizeof spared_path, spared_path, nullptr);
    const bool spared_known = spared_length > 0 && spared_length < sizeof spared_path;
    const DWORD not_a_plain_file =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    do {
        if (!wanted(found.cFileName, context) || (found.dwFileAttributes & not_a_plain_file) != 0) {
            continue;
        }
        // A time in the future makes a file young, not old.
        const unsigned long long written = file_time_value(found.ftLastWriteTime);
        if (written >= now || now - written <= age) {
            continue;
        }
        char full_path[MAX_PATH];
        const DWORD length = GetFullPathNameA(found.cFileName, sizeof full_path, full_path, nullptr);
        if (spared_known && length > 0 && length < sizeof full_path &&
            lstrcmpiA(full_path, spared_path) == 0) {
            continue;
        }
        if (DeleteFileA(found.cFileName)) {
            ++pass.removed;
        } else if (pass.failed++ == 0) {
            system_reason(GetLastError(), pass.reason, sizeof pass.reason);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}
