// The DLLs of the system that MOLV loads only when it first needs them.
// Internal to win32/.
#pragma once

#include <windows.h>

// Loads a DLL of the system from the system folder by its full path, so that
// no other folder is searched; nullptr with the last error set on failure.
HMODULE load_system_library(const char* file_name);

// The address of `name` in `library` as the function pointer type F,
// nullptr when it is not there.
template <typename F>
F system_function(HMODULE library, const char* name)
{
    // Through the generic function type, which any function pointer may be
    // converted to and from without a warning.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}
