// The settings file: its absolute path, and the system's profile reader.
#include <windows.h>

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
