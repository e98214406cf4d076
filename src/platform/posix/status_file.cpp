// The status file on POSIX: the current folder from getcwd, and the file
// replaced by a rename of a temporary file beside it.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"

namespace {

bool write_all(int descriptor, const char* text, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(descriptor, text, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

bool platform_current_folder(char* destination, std::size_t capacity, char* reason,
                             std::size_t reason_capacity)
{
    if (capacity > 0 && getcwd(destination, capacity) != nullptr) {
        return true;
    }
    const int error = capacity > 0 ? errno : ERANGE;
    copy_text(destination, capacity, "");
    copy_text(reason, reason_capacity,
              error == ERANGE ? "the path is too long" : std::strerror(error));
    return false;
}

bool platform_replace_file(const char* path, const char* text, std::size_t length, char* reason,
                           std::size_t reason_capacity)
{
    char temporary[PATH_MAX];
    const int needed = std::snprintf(temporary, sizeof temporary, "%s.%ld.tmp", path,
                                     static_cast<long>(getpid()));
    if (needed < 0 || static_cast<std::size_t>(needed) >= sizeof temporary) {
        copy_text(reason, reason_capacity, std::strerror(ENAMETOOLONG));
        return false;
    }
    // Not a link that someone left under the temporary name.
    const int descriptor =
        open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (descriptor < 0) {
        copy_text(reason, reason_capacity, std::strerror(errno));
        return false;
    }
    bool done = write_all(descriptor, text, length);
    int error = errno;
    if (close(descriptor) != 0 && done) {
        done = false;
        error = errno;
    }
    if (done && rename(temporary, path) == 0) {
        return true;
    }
    if (done) {
        error = errno;
    }
    unlink(temporary);
    copy_text(reason, reason_capacity, std::strerror(error));
    return false;
}
