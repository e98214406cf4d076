#include "text/text.h"

#include <cstring>

bool copy_text(char* destination, std::size_t capacity, const char* source)
{
    if (capacity == 0) {
        return source[0] == '\0';
    }
    destination[0] = '\0';
    return append_text(destination, capacity, source);
}

bool append_text(char* destination, std::size_t capacity, const char* source)
{
    if (capacity == 0) {
        return source[0] == '\0';
    }
    std::size_t used = std::strlen(destination);
    std::size_t room = capacity - 1 - used;
    std::size_t wanted = std::strlen(source);
    std::size_t taken = wanted < room ? wanted : room;
    std::memcpy(destination + used, source, taken);
    destination[used + taken] = '\0';
    return taken == wanted;
}
