// The settings file: its absolute path, and the system's profile reader.
// The path is kept in UTF-8 and handed to the system in wide characters, so
// that a folder whose name the ANSI code page cannot show is read all the
// same; the values come back in the ANSI code page, as the rest of MOLV
// handles them.
#include <windows.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/reason.h"

namespace {

// The longest path the system handles, and its terminator.
constexpr DWORD path_room = 32768;

wchar_t wide_path[path_room];

// Room for a section, a key, a default or a value, in wide characters.
constexpr int field_room = 1024;

// `text` in `code_page` as wide characters in `destination`; false (and an
// empty text) when it does not fit or cannot be converted.
bool to_wide(UINT code_page, const char* text, wchar_t* destination, int capacity)
{
    const int length = MultiByteToWideChar(code_page, 0, text, -1, destination, capacity);
    if (length <= 0) {
        destination[0] = L'\0';
        return false;
    }
    return true;
}

} // namespace

bool platform_settings_path(const char* file_name, char* destination, std::size_t capacity)
{
    if (capacity == 0) {
        return false;
    }
    destination[0] = '\0';
    const DWORD length = GetCurrentDirectoryW(path_room, wide_path);
    // A result of 0 is a failure; one at or above the size is the size
    // needed, with nothing written.
    if (length == 0 || length >= path_room) {
        return false;
    }
    const int room = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity) - 1;
    const int bytes = room > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide_path,
                                                     static_cast<int>(length), destination, room,
                                                     nullptr, nullptr)
                               : 0;
    if (bytes <= 0) {
        destination[0] = '\0';
        return false;
    }
    destination[bytes] = '\0';
    const bool fits = append_text(destination, capacity, "\\") &&
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
    if (!to_wide(CP_UTF8, path, wide_path, path_room)) {
        system_reason(ERROR_FILENAME_EXCED_RANGE, reason, reason_capacity);
        return false;
    }
    HANDLE file = CreateFileW(wide_path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    if (capacity == 0) {
        return 0;
    }
    destination[0] = '\0';
    static wchar_t wide_section[field_room];
    static wchar_t wide_key[field_room];
    static wchar_t wide_default[field_room];
    static wchar_t value[field_room];
    if (!to_wide(CP_UTF8, path, wide_path, path_room) ||
        !to_wide(CP_ACP, section, wide_section, field_room) ||
        !to_wide(CP_ACP, key, wide_key, field_room) ||
        !to_wide(CP_ACP, default_value != nullptr ? default_value : "", wide_default,
                 field_room)) {
        copy_text(destination, capacity, default_value != nullptr ? default_value : "");
        return static_cast<unsigned long>(lstrlenA(destination));
    }
    // At most capacity-1 characters, as the ANSI reader gives them.
    const DWORD wide_capacity = capacity < field_room ? capacity : field_room;
    int length = static_cast<int>(GetPrivateProfileStringW(wide_section, wide_key, wide_default,
                                                           value, wide_capacity, wide_path));
    // A character of two bytes that does not fit is left out whole.
    const int room = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity) - 1;
    int bytes = 0;
    while (length > 0 && (bytes = WideCharToMultiByte(CP_ACP, 0, value, length, destination,
                                                      room, nullptr, nullptr)) <= 0) {
        --length;
    }
    destination[bytes > 0 ? bytes : 0] = '\0';
    return static_cast<unsigned long>(bytes > 0 ? bytes : 0);
}
