// What tells a process apart from a later one under the same id: its
// creation time. Internal to win32/.
#pragma once

#include <windows.h>

#include <cstddef>

// The creation time of `process` as text; false when it cannot be had.
bool process_identity(HANDLE process, char* identity, std::size_t capacity);

// Opens the process `id` with `access` (not inheritable) when it runs and
// was created at `identity`; nullptr otherwise.
HANDLE open_recorded_process(unsigned long id, const char* identity, DWORD access);
