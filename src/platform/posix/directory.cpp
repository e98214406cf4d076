// Removing old files from the current directory: one pass of readdir, and a
// look at the file itself only for the names that are asked for.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"

void platform_remove_old_files(removal_filter wanted, const void* context,
                               unsigned long long age_seconds, const char* spared,
                               removal_pass& pass)
{
    pass.removed = 0;
    pass.failed = 0;
    copy_text(pass.reason, sizeof pass.reason, "");
    DIR* directory = opendir(".");
    if (directory == nullptr) {
        pass.failed = 1;
        copy_text(pass.reason, sizeof pass.reason, std::strerror(errno));
        return;
    }
    const int folder = dirfd(directory);
    const std::time_t now = std::time(nullptr);
    // The spared file is known by its device and inode, whatever path or
    // link names it.
    struct stat spared_info;
    const bool spared_exists = stat(spared, &spared_info) == 0;
    while (const dirent* entry = readdir(directory)) {
        const char* name = entry->d_name;
        if (!wanted(name, context)) {
            continue;
        }
        struct stat info;
        if (fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        if (spared_exists && info.st_dev == spared_info.st_dev &&
            info.st_ino == spared_info.st_ino) {
            continue;
        }
        // A time in the future makes a file young, not old.
        if (info.st_mtime >= now ||
            static_cast<unsigned long long>(now - info.st_mtime) <= age_seconds) {
            continue;
        }
        if (unlinkat(folder, name, 0) == 0) {
            ++pass.removed;
        } else if (pass.failed++ == 0) {
            copy_text(pass.reason, sizeof pass.reason, std::strerror(errno));
        }
    }
    closedir(directory);
}
