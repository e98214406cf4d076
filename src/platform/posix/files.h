// What the POSIX files that read and copy files share. Internal to posix/.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <sys/stat.h>

// Opens `name` for reading if it is a plain file: a directory does not
// count, and a pipe or device is never waited on. Returns -1 on failure,
// with errno set.
int open_plain_file(const char* name, struct stat& info);

// Writes the system's text for the errno value `error` to `reason`.
void set_reason(char* reason, std::size_t capacity, int error);

// Whether `error` is one of `errors`.
inline bool one_of(int error, std::initializer_list<int> errors)
{
    for (int listed : errors) {
        if (error == listed) {
            return true;
        }
    }
    return false;
}
