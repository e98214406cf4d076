// The system's message for a Windows error code.
#pragma once

#include <windows.h>

#include <cstddef>

// Writes the message for `error` without its line end and final full stop
// (or "error N" when the system has none) to `reason`.
void system_reason(DWORD error, char* reason, std::size_t capacity);
