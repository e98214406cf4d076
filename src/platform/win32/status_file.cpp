// The status file on Windows: the current folder in UTF-8, and the file
// replaced by MoveFileExW from a temporary file beside it, made new under a
// name of this process's own and never written through a name that is there.
#include <windows.h>

#include <cstdio>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/reason.h"
#include "platform/win32/working_copies.h"

namespace {

// A reader that holds the file open without delete sharing (an exporter
// in the middle of a scrape) keeps it from being replaced for a moment.
constexpr int replace_tries = 5;
constexpr DWORD replace_pause_ms = 10;

// Room for the file's path with a temporary name's ending; the setting is
// far shorter.
constexpr int path_room = MAX_PATH + 32;

bool write_all(HANDLE file, const char* text, std::size_t length)
{
    while (length > 0) {
        const DWORD piece = length > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(file, text, piece, &written, nullptr) || written == 0) {
            return false;
        }
        text += written;
        length -= written;
    }
    return true;
}

bool replace_with(const wchar_t* temporary, const wchar_t* path)
{
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING)) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
            attempt == replace_tries) {
            SetLastError(error);
            return false;
        }
        Sleep(replace_pause_ms);
    }
}

// The process id in `name` when it is `file` followed by ".<digits>.tmp",
// else 0.
unsigned long temporary_owner(const wchar_t* name, const wchar_t* file)
{
    while (*file != L'\0' && *name == *file) {
        ++name;
        ++file;
    }
    if (*file != L'\0' || *name != L'.') {
        return 0;
    }
    unsigned long long owner = 0;
    int digits = 0;
    for (++name; *name >= L'0' && *name <= L'9' && digits < 10; ++name, ++digits) {
        owner = owner * 10 + static_cast<unsigned>(*name - L'0');
    }
    const bool ending = name[0] == L'.' && name[1] == L't' && name[2] == L'm' &&
                        name[3] == L'p' && name[4] == L'\0';
    return digits > 0 && ending && owner <= 0xFFFFFFFFULL ? static_cast<unsigned long>(owner)
                                                           : 0;
}

// Removes the temporary files that an ended MOLV left beside the file at
// `path`: plain files under its temporary names, of processes that no longer
// run. Once a run, before the first write.
void remove_stale_temporaries(const char* path, const wchar_t* wide_path)
{
    static bool looked = false;
    char pattern[path_room];
    wchar_t wide_pattern[path_room];
    const int needed = std::snprintf(pattern, sizeof pattern, "%s.*.tmp", path);
    if (looked || needed < 0 || needed >= path_room ||
        MultiByteToWideChar(CP_ACP, 0, pattern, -1, wide_pattern, path_room) <= 0) {
        return;
    }
    looked = true;
    // The names found are the folder's own; the folder's part of the path
    // goes before them.
    int folder_end = 0;
    for (int i = 0; wide_path[i] != L'\0'; ++i) {
        if (wide_path[i] == L'\\' || wide_path[i] == L'/' || wide_path[i] == L':') {
            folder_end = i + 1;
        }
    }
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(wide_pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    const DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    do {
        const unsigned long owner = temporary_owner(found.cFileName, wide_path + folder_end);
        if (owner == 0 || owner == GetCurrentProcessId() || process_runs(owner) ||
            (found.dwFileAttributes & not_plain) != 0) {
            continue;
        }
        wchar_t stale[path_room];
        int at = 0;
        for (int i = 0; i < folder_end; ++i) {
            stale[at++] = wide_path[i];
        }
        for (const wchar_t* c = found.cFileName; *c != L'\0' && at < path_room - 1; ++c) {
            stale[at++] = *c;
        }
        stale[at] = L'\0';
        DeleteFileW(stale);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Makes the temporary file new; a name of this process's own that is there
// already (left by an earlier MOLV with the same id, or put there by anyone)
// is removed first, never opened: it could be a link to another file.
HANDLE create_temporary(const wchar_t* temporary)
{
    // No sharing and no inheritance: the file is MOLV's alone until it has
    // its name.
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
        DeleteFileW(temporary)) {
        file = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr);
    }
    return file;
}

} // namespace

bool platform_current_folder(char* destination, std::size_t capacity, char* reason,
                             std::size_t reason_capacity)
{
    static wchar_t wide[32768];
    copy_text(destination, capacity, "");
    const DWORD length = GetCurrentDirectoryW(sizeof wide / sizeof wide[0], wide);
    if (length == 0 || length >= sizeof wide / sizeof wide[0]) {
        system_reason(GetLastError(), reason, reason_capacity);
        return false;
    }
    const int room = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity) - 1;
    const int bytes = room > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length),
                                                     destination, room, nullptr, nullptr)
                               : 0;
    if (bytes <= 0) {
        destination[0] = '\0';
        copy_text(reason, reason_capacity, "the path is too long");
        return false;
    }
    destination[bytes] = '\0';
    return true;
}

bool platform_replace_file(const char* path, const char* text, std::size_t length, char* reason,
                           std::size_t reason_capacity)
{
    char temporary[path_room];
    wchar_t wide_path[path_room];
    wchar_t wide_temporary[path_room];
    const int needed = std::snprintf(temporary, sizeof temporary, "%s.%lu.tmp", path,
                                     static_cast<unsigned long>(GetCurrentProcessId()));
    if (needed < 0 || needed >= path_room ||
        MultiByteToWideChar(CP_ACP, 0, path, -1, wide_path, path_room) <= 0 ||
        MultiByteToWideChar(CP_ACP, 0, temporary, -1, wide_temporary, path_room) <= 0) {
        system_reason(ERROR_FILENAME_EXCED_RANGE, reason, reason_capacity);
        return false;
    }
    remove_stale_temporaries(path, wide_path);
    HANDLE file = create_temporary(wide_temporary);
    if (file == INVALID_HANDLE_VALUE) {
        system_reason(GetLastError(), reason, reason_capacity, temporary);
        return false;
    }
    bool done = write_all(file, text, length);
    DWORD error = GetLastError();
    if (!CloseHandle(file) && done) {
        done = false;
        error = GetLastError();
    }
    if (done && replace_with(wide_temporary, wide_path)) {
        return true;
    }
    if (done) {
        error = GetLastError();
    }
    DeleteFileW(wide_temporary);
    system_reason(error, reason, reason_capacity, path);
    return false;
}
