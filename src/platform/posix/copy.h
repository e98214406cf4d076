// The two ways the POSIX copy gives a finished copy its name, so that each
// can be checked on its own: platform_copy_new takes the first and falls
// back to the second where the file system refuses unnamed files.
#pragma once

#include <cstddef>

#include "platform/platform.h"

enum class copy_naming {
    unnamed_file, // O_TMPFILE, named with linkat once complete
    working_name, // a working name of MOLV's own, linked into place
};

// platform_copy_new with the given way of naming the copy.
copy_result copy_new_named(const char* source, const char* destination, copy_naming naming,
                           char* reason, std::size_t reason_capacity);
