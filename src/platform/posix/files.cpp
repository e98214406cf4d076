// Plain files: opening one for reading, never a directory, pipe or device,
// and the existence test built on that.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/posix/files.h"

int open_plain_file(const char* name, struct stat& info)
{
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    bool known = fstat(fd, &info) == 0;
    if (!known || !S_ISREG(info.st_mode)) {
        int error = known && S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void set_reason(char* reason, std::size_t capacity, int error)
{
    copy_text(reason, capacity, std::strerror(error));
}

bool platform_file_readable(const char* name)
{
    struct stat info;
    int fd = open_plain_file(name, info);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}
