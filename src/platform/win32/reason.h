// The system's message for a Windows error code.
#pragma once

#include <windows.h>

#include <cstddef>

// Writes the message for `error` without its line end and final full stop
// (or "error N" when the system has none) to `reason`. A message that names
// the file it is about ("... for %1") gets `subject` there, when one is given.
void system_reason(DWORD error, char* reason, std::size_t capacity,
                   const char* subject = nullptr);

// The message text with every insert "%1" replaced by `subject`, at most
// capacity-1 characters. Other inserts are left as they stand.
void fill_message_insert(const char* message, const char* subject, char* destination,
                         std::size_t capacity);
