// Files through the Windows services: the profile reader, the existence test
// and CopyFileA, which never replaces an existing file.
#include <windows.h>

#include <cstdio>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/reason.h"


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
    // Anything already under the name, even a folder, keeps it taken; so a
    // failed copy below can only have left a file of its own.
    if (GetFileAttributesA(destination) != INVALID_FILE_ATTRIBUTES) {
        return copy_result::exists;
    }
    if (CopyFileA(source, destination, TRUE)) {
        return copy_result::copied;
    }
    DWORD error = GetLastError();
    system_reason(error, reason, reason_capacity);
    switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return copy_result::exists;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return copy_result::source_missing;
    default:
        DeleteFileA(destination);
        return copy_result::failed;
    }
}
