// The settings file: its path, and the reader that holds it whole in memory
// for the lookups of one reading.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/posix/files.h"
#include "platform/profile_text.h"

bool platform_settings_path(const char* file_name, char* destination, std::size_t capacity)
{
    // A relative name reaches the file in the current directory however
    // deep that is; an absolute one could pass the system's path limit.
    if (!copy_text(destination, capacity, file_name)) {
        copy_text(destination, capacity, "");
        return false;
    }
    return true;
}

namespace {

// The largest settings file held in memory, for the moment it is read. The
// file holds a dozen short lines; far larger ones are still read whole, but
// one of many gigabytes is refused rather than half-read.
constexpr std::size_t settings_file_limit = 64 * 1024 * 1024;

// A settings file read whole: its text (not terminated), its length.
struct loaded_file {
    char* text = nullptr;
    std::size_t length = 0;
};

// Reads the plain file `path` whole into `file`. Returns 0, or the reason
// as an errno value with nothing held.
int read_whole(const char* path, loaded_file& file)
{
    file = loaded_file{};
    struct stat info;
    int fd = open_plain_file(path, info);
    if (fd < 0) {
        return errno;
    }
    if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) > settings_file_limit) {
        close(fd);
        return EFBIG;
    }
    std::size_t size = static_cast<std::size_t>(info.st_size);
    file.text = static_cast<char*>(std::malloc(size > 0 ? size : 1));
    int error = file.text == nullptr ? ENOMEM : 0;
    while (error == 0 && file.length < size) {
        ssize_t got = read(fd, file.text + file.length, size - file.length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = errno;
        } else if (got == 0) {
            break; // the file shrank: what was there is what is read
        } else {
            file.length += static_cast<std::size_t>(got);
        }
    }
    close(fd);
    if (error != 0) {
        std::free(file.text);
        file = loaded_file{};
    }
    return error;
}

// The file kept by platform_profile_load, and its path.
loaded_file kept_file;
char kept_path[4096] = "";

} // namespace

bool platform_profile_load(const char* path, char* reason, std::size_t reason_capacity)
{
    platform_profile_release();
    if (!copy_text(kept_path, sizeof kept_path, path)) {
        kept_path[0] = '\0';
        set_reason(reason, reason_capacity, ENAMETOOLONG);
        return false;
    }
    int error = read_whole(path, kept_file);
    if (error != 0) {
        kept_path[0] = '\0';
        set_reason(reason, reason_capacity, error);
        return false;
    }
    return true;
}

void platform_profile_release()
{
    std::free(kept_file.text);
    kept_file = loaded_file{};
    kept_path[0] = '\0';
}

unsigned long platform_profile_string(const char* section, const char* key,
                                      const char* default_value, char* destination,
                                      unsigned long capacity, const char* path)
{
    if (kept_path[0] != '\0' && std::strcmp(kept_path, path) == 0) {
        return profile_lookup(kept_file.text != nullptr ? kept_file.text : "", kept_file.length,
                              section, key, default_value, destination, capacity);
    }
    // Read for this call alone, and released again at once.
    loaded_file file;
    read_whole(path, file);
    unsigned long count = profile_lookup(file.text != nullptr ? file.text : "", file.length,
                                         section, key, default_value, destination, capacity);
    std::free(file.text);
    return count;
}
