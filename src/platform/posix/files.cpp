// Files: the settings path and reader, the existence test, and the copy that
// never replaces a file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/profile_text.h"

namespace {

// Opens `name` for reading if it is a plain file: a directory does not
// count, and a pipe or device is never waited on. Returns -1 on failure.
int open_file(const char* name, struct stat& info)
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

bool write_all(int fd, const char* data, std::size_t count)
{
    while (count > 0) {
        ssize_t written = write(fd, data, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

void set_reason(char* reason, std::size_t capacity, int error)
{
    copy_text(reason, capacity, std::strerror(error));
}

} // namespace

bool platform_settings_path(const char* file_name, char* destination, std::size_t capacity)
{
    if (capacity == 0) {
        return false;
    }
    destination[0] = '\0';
    if (getcwd(destination, capacity) == nullptr) {
        destination[0] = '\0';
        return false;
    }
    bool fits = append_text(destination, capacity, "/") &&
                append_text(destination, capacity, file_name);
    if (!fits) {
        destination[0] = '\0';
    }
    return fits;
}

unsigned long platform_profile_string(const char* section, const char* key,
                                      const char* default_value, char* destination,
                                      unsigned long capacity, const char* path)
{
    // The file is read whole, looked up, and released again at once.
    char* text = nullptr;
    std::size_t length = 0;
    struct stat info;
    int fd = open_file(path, info);
    if (fd >= 0) {
        std::size_t size = static_cast<std::size_t>(info.st_size);
        text = static_cast<char*>(std::malloc(size > 0 ? size : 1));
        while (text != nullptr && length < size) {
            ssize_t got = read(fd, text + length, size - length);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            length += static_cast<std::size_t>(got);
        }
        close(fd);
    }
    unsigned long count = profile_lookup(text != nullptr ? text : "", length, section, key,
                                         default_value, destination, capacity);
    std::free(text);
    return count;
}

bool platform_file_readable(const char* name)
{
    struct stat info;
    int fd = open_file(name, info);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

copy_result platform_copy_new(const char* source, const char* destination, char* reason,
                              std::size_t reason_capacity)
{
    struct stat info;
    int in = open_file(source, info);
    if (in < 0) {
        set_reason(reason, reason_capacity, errno);
        return copy_result::source_missing;
    }
    int out = open(destination, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        int error = errno;
        close(in);
        set_reason(reason, reason_capacity, error);
        return error == EEXIST ? copy_result::exists : copy_result::failed;
    }

    char buffer[65536];
    int error = 0;
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = errno;
            break;
        }
        if (got == 0) {
            break;
        }
        if (!write_all(out, buffer, static_cast<std::size_t>(got))) {
            error = errno;
            break;
        }
    }
    close(in);
    if (close(out) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        // A copy that did not complete is not a backup: take it away again.
        unlink(destination);
        set_reason(reason, reason_capacity, error);
        return copy_result::failed;
    }
    return copy_result::copied;
}
