// Files through the Windows services: the profile reader, the existence test
// and the copy: CopyFileA to a working name, then MoveFileExA, which never
// replaces an existing file.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/reason.h"
#include "platform/working_name.h"

namespace {

// The serial number of the last working name this process chose.
unsigned long long working_serial = 0;

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

// Whether a process with this id runs (whoever it belongs to).
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

} // namespace


bool platform_settings_path(const char* file_name, char* destination, std::size_t capacity)
{
    if (capacity == 0) {
        return false;
    }
    destination[0] = '\0';
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    // A result of 0 is a failure; one at or above the size is the size
    // needed, with nothing written.
    if (length == 0 || length >= sizeof directory) {
        return false;
    }
    bool fits = copy_text(destination, capacity, directory) &&
                append_text(destination, capacity, "\\") &&
                append_text(destination, capacity, file_name);
    if (!fits) {
        destination[0] = '\0';
    }
    return fits;
}

bool platform_profile_load(const char* path, char* reason, std::size_t reason_capacity)
{
    // The system's reader reads the file itself at every call; here it is
    // only made sure that the file opens for reading at all.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        system_reason(GetLastError(), reason, reason_capacity);
        return false;
    }
    CloseHandle(file);
    return true;
}

void platform_profile_release()
{
}

unsigned long platform_profile_string(const char* section, const char* key,
                                      const char* default_value, char* destination,
                                      unsigned long capacity, const char* path)
{
    return GetPrivateProfileStringA(section, key, default_value, destination, capacity, path);
}

bool platform_file_readable(const char* name)
{
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    DWORD attributes = GetFileAttributesA(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

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
