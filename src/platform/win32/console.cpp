// Console operations through the Windows console services.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

void platform_set_title(const char* title)
{
    SetConsoleTitleA(title);
}

void platform_prepare_console()
{
    // With QuickEdit a click into the window starts a selection, and every
    // write to the console waits until it ends: a server that crashed
    // meanwhile would not be started again. Off for MOLV's console input,
    // the other modes kept; nothing when the input is not a console.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
        SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE));
    }
}

platform_console platform_console_output()
{
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

void platform_set_colour(platform_console console, unsigned short colour)
{
    // Text already written keeps the colour it was written in.
    std::fflush(stdout);
    SetConsoleTextAttribute(static_cast<HANDLE>(console), colour);
}
