// The copy that never replaces a file: CopyFileA to a working name, then
// MoveFileExA, which never replaces an existing file.
#include <windows.h>

#include <cstring>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/reason.h"
#include "platform/win32/working_copies.h"
#include "platform/working_name.h"

namespace {

// The serial number of the last working name this process chose.
unsigned long long working_serial = 0;

// The folder part of `path`, with its separator ("" for a bare name).
bool folder_of(const char* path, char* folder, std::size_t capacity)
{
    const char* slash = std::strrchr(path, '\\');
    const char* other = std::strrchr(path, '/');
    if (other != nullptr && (slash == nullptr || other > slash)) {
        slash = other;
    }
    std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
    if (length >= capacity) {
        return false;
    }
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    return true;
}

} // namespace

copy_result platform_copy_new(const char* source, const char* destination, char* reason,
                              std::size_t reason_capacity)
{
    // Anything already under the name, even a folder, keeps it taken; this
    // also spares a copy for every taken suffix.
    if (GetFileAttributesA(destination) != INVALID_FILE_ATTRIBUTES) {
        return copy_result::exists;
    }
    char folder[MAX_PATH];
    char name[working_name_capacity];
    char working[MAX_PATH];
    DWORD error = ERROR_FILE_EXISTS;
    bool copied = false;
    // A working name still taken by a leftover of this process id is passed
    // over; a few tries are plenty.
    for (int attempt = 0; attempt < 100 && !copied && error == ERROR_FILE_EXISTS; ++attempt) {
        if (!folder_of(destination, folder, sizeof folder) ||
            !working_name(GetCurrentProcessId(), ++working_serial, name, sizeof name) ||
            !copy_text(working, sizeof working, folder) ||
            !append_text(working, sizeof working, name)) {
            error = ERROR_FILENAME_EXCED_RANGE;
            break;
        }
        copied = CopyFileA(source, working, TRUE) != 0;
        error = copied ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_ALREADY_EXISTS) {
            error = ERROR_FILE_EXISTS;
        }
    }
    if (!copied) {
        system_reason(error, reason, reason_capacity);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return copy_result::source_missing;
        }
        // A copy that did not complete is not a backup: take it away again
        // (a working name that was taken all along is not this copy's).
        if (error != ERROR_FILE_EXISTS && error != ERROR_FILENAME_EXCED_RANGE) {
            delete_working_copy(working);
        }
        return copy_result::failed;
    }
    if (MoveFileExA(working, destination, 0)) {
        return copy_result::copied;
    }
    error = GetLastError();
    delete_working_copy(working);
    system_reason(error, reason, reason_capacity);
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? copy_result::exists
                                                                        : copy_result::failed;
}
