#include "platform/win32/reason.h"

#include <cstdio>

#include "text/text.h"

void system_reason(DWORD error, char* reason, std::size_t capacity)
{
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    text[length] = '\0';
    if (length == 0) {
        std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(error));
    }
    copy_text(reason, capacity, text);
}
