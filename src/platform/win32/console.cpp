// Console operations through the Windows console services.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

void platform_set_title(const char* title)
{
    SetConsoleTitleA(title);
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
