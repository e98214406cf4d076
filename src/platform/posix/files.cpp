// Plain files: opening one for reading, never a directory, pipe or device,
// and the existence test built on that.
#include <cerrno>
#include <cstdio>
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

bool platform_file_modified(const char* name, long long& epoch_seconds)
{
    struct stat info;
    if (stat(name, &info) != 0) {
        return false;
    }
    epoch_seconds = static_cast<long long>(info.st_mtime);
    return true;
}

bool platform_file_fingerprint(const char* name, char* destination, std::size_t capacity)
{
    struct stat info;
    int written = -1;
    if (stat(name, &info) == 0) {
        written = std::snprintf(destination, capacity, "%llu %lld %lld.%09ld",
                                static_cast<unsigned long long>(info.st_ino),
                                static_cast<long long>(info.st_size),
                                static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec);
    }
    if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
        copy_text(destination, capacity, "");
        return false;
    }
    return true;
}
