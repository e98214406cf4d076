#include "platform/win32/reason.h"

#include <cstdio>
#include <cstring>

#include "text/text.h"

void fill_message_insert(const char* message, const char* subject, char* destination,
                         std::size_t capacity)
{
    copy_text(destination, capacity, "");
    char piece[2] = "";
    for (const char* at = message; *at != '\0'; ++at) {
        // "%1" and nothing more: "%10" is another insert.
        if (at[0] == '%' && at[1] == '1' && (at[2] < '0' || at[2] > '9')) {
            append_text(destination, capacity, subject);
            ++at;
            continue;
        }
        piece[0] = *at;
        append_text(destination, capacity, piece);
    }
}

void system_reason(DWORD error, char* reason, std::size_t capacity, const char* subject)
{
    // Asked for without inserts: the system would otherwise read arguments
    // that are not there.
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
    if (subject != nullptr) {
        fill_message_insert(text, subject, reason, capacity);
    } else {
        copy_text(reason, capacity, text);
    }
}
