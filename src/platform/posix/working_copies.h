// Copies under working names of MOLV's own, for file systems without
// unnamed files, and the removal of those an ended MOLV left behind.
// Internal to posix/.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

// How giving a finished copy its name went.
enum class naming_outcome { named, taken, refused, failed };

// Copies `in` from its current offset under a working name in `directory`
// (".": the current one) and gives it the name `destination` without ever
// replacing a file; `error` receives the errno value of a failure. The
// working name is gone afterwards, however the copy went.
naming_outcome copy_under_working_name(int in, const struct stat& info, const char* directory,
                                       const char* destination, int& error);
