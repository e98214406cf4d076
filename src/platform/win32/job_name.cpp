// A folder's job is named after the folder's final path: the path the
// system resolves from a handle of the folder, with its volume by GUID where
// there is one, so that a drive letter of its own (subst), a link or a short
// name lead to the same name. The path is hashed (FNV-1a, 64 bits) in wide
// characters, so that folders whose names the ANSI code page cannot show
// never share a name.
#include <windows.h>

#include "platform/win32/job_name.h"

namespace {

// The longest path the system handles, and its terminator.
constexpr DWORD path_room = 32768;
wchar_t path[path_room];

// The folder's path as the system resolves it, or as it was given when no
// handle of it can be had; its length, 0 when there is none.
DWORD resolved_path(const wchar_t* folder)
{
    const wchar_t* given = folder != nullptr ? folder : L".";
    // Not inheritable; no right beyond looking at it is asked for.
    const HANDLE handle = CreateFileW(given, FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        // A network share has no volume GUID: its name is the next best.
        DWORD length = GetFinalPathNameByHandleW(handle, path, path_room,
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_GUID);
        if (length == 0 || length >= path_room) {
            length = GetFinalPathNameByHandleW(handle, path, path_room,
                                               FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        }
        CloseHandle(handle);
        if (length > 0 && length < path_room) {
            return length;
        }
    }
    const DWORD length = GetFullPathNameW(given, path_room, path, nullptr);
    return length < path_room ? length : 0;
}

// FNV-1a over the path in lower case, both bytes of each character. The
// path is lowered a piece at a time, never between the two halves of a
// surrogate pair.
unsigned long long path_hash(const wchar_t* text, DWORD length)
{
    unsigned long long hash = 14695981039346656037ULL;
    wchar_t piece[256];
    DWORD at = 0;
    while (at < length) {
        DWORD count = length - at < 256 ? length - at : 256;
        if (count > 1 && at + count < length && IS_HIGH_SURROGATE(text[at + count - 1])) {
            --count;
        }
        const int lowered = LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, text + at,
                                         static_cast<int>(count), piece, 256);
        const wchar_t* from = lowered > 0 ? piece : text + at;
        const DWORD size = lowered > 0 ? static_cast<DWORD>(lowered) : count;
        for (DWORD i = 0; i < size; ++i) {
            const wchar_t c = from[i] == L'/' ? L'\\' : from[i];
            hash = (hash ^ (static_cast<unsigned>(c) & 0xFFu)) * 1099511628211ULL;
            hash = (hash ^ (static_cast<unsigned>(c) >> 8)) * 1099511628211ULL;
        }
        at += count;
    }
    return hash;
}

} // namespace

bool job_name_of(const wchar_t* folder, wchar_t* name, std::size_t capacity)
{
    if (capacity < job_name_capacity) {
        return false;
    }
    const DWORD length = resolved_path(folder);
    if (length == 0) {
        name[0] = L'\0';
        return false;
    }
    const unsigned long long hash = path_hash(path, length);
    static const wchar_t digits[] = L"0123456789abcdef";
    const wchar_t prefix[] = L"Local\\molv-";
    std::size_t at = 0;
    for (; prefix[at] != L'\0'; ++at) {
        name[at] = prefix[at];
    }
    for (int shift = 60; shift >= 0; shift -= 4) {
        name[at++] = digits[(hash >> shift) & 0xFu];
    }
    name[at] = L'\0';
    return true;
}
