// The status file on Windows: the current folder in UTF-8, and the file
// replaced by MoveFileExA from a temporary file beside it.
#include <windows.h>

#include <cstdio>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/reason.h"

namespace {

// A reader that holds the file open without delete sharing (an exporter
// in the middle of a scrape) keeps it from being replaced for a moment.
constexpr int replace_tries = 5;
constexpr DWORD replace_pause_ms = 10;

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

bool replace_with(const char* temporary, const char* path)
{
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING)) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
            attempt == replace_tries) {
            return false;
        }
        Sleep(replace_pause_ms);
    }
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
    char temporary[MAX_PATH + 32];
    const int needed = std::snprintf(temporary, sizeof temporary, "%s.%lu.tmp", path,
                                     static_cast<unsigned long>(GetCurrentProcessId()));
    if (needed < 0 || static_cast<std::size_t>(needed) >= sizeof temporary) {
        system_reason(ERROR_FILENAME_EXCED_RANGE, reason, reason_capacity);
        return false;
    }
    // No sharing and no inheritance: the file is MOLV's alone until it has
    // its name.
    HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
    if (done && replace_with(temporary, path)) {
        return true;
    }
    if (done) {
        error = GetLastError();
    }
    DeleteFileA(temporary);
    system_reason(error, reason, reason_capacity, path);
    return false;
}
