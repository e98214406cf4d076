// The DLLs of the system, loaded from the system folder alone.
#include <windows.h>

#include "text/text.h"
#include "platform/win32/library.h"

HMODULE load_system_library(const char* file_name)
{
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, sizeof path);
    if (length == 0 || length >= sizeof path || !append_text(path, sizeof path, "\\") ||
        !append_text(path, sizeof path, file_name)) {
        if (length != 0) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        }
        return nullptr;
    }
    return LoadLibraryA(path);
}
