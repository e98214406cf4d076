// The other status files in the status file's folder: one pass of readdir,
// and the first bytes of each "*.prom" file that is not MOLV's own.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

// Room for the folder's part of the path: the setting is far shorter.
constexpr std::size_t folder_room = 512;

char content[status_sibling_bytes];

bool is_status_name(const char* name)
{
    const std::size_t length = std::strlen(name);
    return length > 5 && std::strcmp(name + length - 5, ".prom") == 0;
}

// Reads the first bytes of the file `name` in `folder` when it is a plain
// file other than the one with `own`'s device and inode.
bool read_start(int folder, const char* name, const struct stat* own, std::size_t& length)
{
    // Not blocking on a FIFO someone left there.
    const int file = openat(folder, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (file < 0) {
        return false;
    }
    struct stat about = {};
    bool plain = fstat(file, &about) == 0 && S_ISREG(about.st_mode) &&
                 (own == nullptr || about.st_dev != own->st_dev || about.st_ino != own->st_ino);
    length = 0;
    while (plain && length < sizeof content) {
        const ssize_t got = read(file, content + length, sizeof content - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            plain = false;
        }
        if (got <= 0) {
            break;
        }
        length += static_cast<std::size_t>(got);
    }
    close(file);
    return plain;
}

} // namespace

void platform_other_status_files(const char* path, status_sibling_visitor seen, void* context)
{
    const char* slash = std::strrchr(path, '/');
    char folder_path[folder_room] = ".";
    if (slash != nullptr) {
        const std::size_t length = static_cast<std::size_t>(slash - path);
        if (length + 1 >= sizeof folder_path) {
            return;
        }
        std::memcpy(folder_path, path, length);
        // "/molv.prom" is in the root.
        folder_path[length] = '\0';
        if (length == 0) {
            std::memcpy(folder_path, "/", 2);
        }
    }
    const char* own_name = slash != nullptr ? slash + 1 : path;
    struct stat own = {};
    const bool own_there = stat(path, &own) == 0;
    DIR* directory = opendir(folder_path);
    if (directory == nullptr) {
        return;
    }
    const int folder = dirfd(directory);
    unsigned looked = 0;
    for (const dirent* entry; looked < status_sibling_limit && (entry = readdir(directory)) != nullptr;) {
        if (!is_status_name(entry->d_name) || std::strcmp(entry->d_name, own_name) == 0) {
            continue;
        }
        ++looked;
        std::size_t length = 0;
        if (read_start(folder, entry->d_name, own_there ? &own : nullptr, length)) {
            seen(entry->d_name, content, length, context);
        }
    }
    closedir(directory);
}
