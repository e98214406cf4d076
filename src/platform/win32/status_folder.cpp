// The other status files in the status file's folder: one search for
// "*.prom" there, and the first bytes of each file that is not MOLV's own.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace {

// Room for a path in the folder: the setting is far shorter.
constexpr int path_room = MAX_PATH + 32;

char content[status_sibling_bytes];

wchar_t folded(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Names compared as Windows compares them for the usual letters.
bool same_name(const wchar_t* one, const wchar_t* other)
{
    while (*one != L'\0' && folded(*one) == folded(*other)) {
        ++one;
        ++other;
    }
    return folded(*one) == folded(*other);
}

// The name ends in ".prom" exactly: the search's pattern also matches
// longer endings through the short names.
bool is_status_name(const wchar_t* name)
{
    int length = 0;
    while (name[length] != L'\0') {
        ++length;
    }
    return length > 5 && same_name(name + length - 5, L".prom");
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& one, const BY_HANDLE_FILE_INFORMATION& other)
{
    return one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

// Opened for reading alone, sharing everything with the writer, never
// inherited.
HANDLE open_for_reading(const wchar_t* path)
{
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

void platform_other_status_files(const char* path, status_sibling_visitor seen, void* context)
{
    wchar_t wide_path[path_room];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide_path, path_room) <= 0) {
        return;
    }
    int folder_end = 0;
    for (int i = 0; wide_path[i] != L'\0'; ++i) {
        if (wide_path[i] == L'\\' || wide_path[i] == L'/' || wide_path[i] == L':') {
            folder_end = i + 1;
        }
    }
    wchar_t pattern[path_room];
    if (folder_end + 7 >= path_room) {
        return;
    }
    for (int i = 0; i < folder_end; ++i) {
        pattern[i] = wide_path[i];
    }
    const wchar_t ending[] = L"*.prom";
    for (int i = 0; i < 7; ++i) {
        pattern[folder_end + i] = ending[i];
    }
    BY_HANDLE_FILE_INFORMATION own = {};
    bool own_there = false;
    const HANDLE own_file = open_for_reading(wide_path);
    if (own_file != INVALID_HANDLE_VALUE) {
        own_there = GetFileInformationByHandle(own_file, &own) != 0;
        CloseHandle(own_file);
    }
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    const DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    unsigned looked = 0;
    do {
        if ((found.dwFileAttributes & not_plain) != 0 || !is_status_name(found.cFileName) ||
            same_name(found.cFileName, wide_path + folder_end)) {
            continue;
        }
        ++looked;
        wchar_t other[path_room];
        int at = 0;
        for (int i = 0; i < folder_end; ++i) {
            other[at++] = wide_path[i];
        }
        for (const wchar_t* c = found.cFileName; *c != L'\0' && at < path_room - 1; ++c) {
            other[at++] = *c;
        }
        other[at] = L'\0';
        char name[path_room * 2];
        if (WideCharToMultiByte(CP_ACP, 0, found.cFileName, -1, name, sizeof name, nullptr,
                                nullptr) <= 0) {
            continue;
        }
        const HANDLE file = open_for_reading(other);
        if (file == INVALID_HANDLE_VALUE) {
            continue;
        }
        BY_HANDLE_FILE_INFORMATION about = {};
        bool readable = GetFileInformationByHandle(file, &about) != 0 &&
                        !(own_there && same_file(own, about));
        DWORD length = 0;
        while (readable && length < sizeof content) {
            DWORD got = 0;
            if (!ReadFile(file, content + length, static_cast<DWORD>(sizeof content) - length, &got,
                          nullptr)) {
                readable = false;
            }
            if (got == 0) {
                break;
            }
            length += got;
        }
        CloseHandle(file);
        if (readable) {
            seen(name, content, length, context);
        }
    } while (looked < status_sibling_limit && FindNextFileW(search, &found));
    FindClose(search);
}
