// Plain files through the Windows services: the existence test.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

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

bool platform_file_modified(const char* name, long long& epoch_seconds)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(name, GetFileExInfoStandard, &data)) {
        return false;
    }
    // Hundreds of nanoseconds since 1601-01-01, 11644473600 seconds before
    // 1970-01-01.
    const unsigned long long ticks =
        (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime;
    epoch_seconds = static_cast<long long>(ticks / 10000000ULL) - 11644473600LL;
    return true;
}

bool platform_file_fingerprint(const char* name, char* destination, std::size_t capacity)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    int written = -1;
    if (GetFileAttributesExA(name, GetFileExInfoStandard, &data)) {
        written = std::snprintf(destination, capacity, "%lu %lu %lu %lu", data.nFileSizeHigh,
                                data.nFileSizeLow, data.ftLastWriteTime.dwHighDateTime,
                                data.ftLastWriteTime.dwLowDateTime);
    }
    if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
        if (capacity > 0) {
            destination[0] = '\0';
        }
        return false;
    }
    return true;
}
