// The status file on POSIX: the current folder from getcwd, and the file
// replaced by a rename of a temporary file beside it.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <signal.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/posix/children.h"

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

// Gives the new file the name `path`. Where the file is there already, the
// two are swapped in one step and the old one, now under the temporary
// name, is removed: a rename over an existing file would make some file
// systems (ext4) write the new file out at once, which costs more than the
// rest of a restart. Elsewhere, and for the first file, a plain rename.
bool take_name(const char* temporary, const char* path)
{
    // Only with a plain file: a folder or a device under that name must stay
    // where it is, and make the rename fail.
    struct stat existing;
    if (lstat(path, &existing) == 0 && S_ISREG(existing.st_mode) &&
        syscall(SYS_renameat2, AT_FDCWD, temporary, AT_FDCWD, path, RENAME_EXCHANGE) == 0) {
        unlink(temporary);
        return true;
    }
    return rename(temporary, path) == 0;
}

// Removes what earlier MOLVs left under the temporary names of `path`
// ("<name>.<process id>.tmp"), of processes that no longer run: killed in
// the middle of a write.
void remove_stale_temporaries(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    char folder[PATH_MAX] = ".";
    if (slash != nullptr) {
        const std::size_t length = static_cast<std::size_t>(slash - path);
        if (length >= sizeof folder) {
            return;
        }
        if (length == 0) {
            copy_text(folder, sizeof folder, "/");
        } else {
            std::memcpy(folder, path, length);
            folder[length] = '\0';
        }
    }
    DIR* entries = opendir(folder);
    if (entries == nullptr) {
        return;
    }
    const std::size_t name_length = std::strlen(name);
    while (const dirent* entry = readdir(entries)) {
        if (std::strncmp(entry->d_name, name, name_length) != 0 ||
            entry->d_name[name_length] != '.') {
            continue;
        }
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name + name_length + 1, &end, 10);
        if (pid > 0 && pid != static_cast<long>(own_pid()) && std::strcmp(end, ".tmp") == 0 &&
            kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            unlinkat(dirfd(entries), entry->d_name, 0);
        }
    }
    closedir(entries);
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
    static bool looked_for_stale = false;
    if (!looked_for_stale) {
        looked_for_stale = true;
        remove_stale_temporaries(path);
    }
    char temporary[PATH_MAX];
    const int needed = std::snprintf(temporary, sizeof temporary, "%s.%ld.tmp", path,
                                     static_cast<long>(own_pid()));
    if (needed < 0 || static_cast<std::size_t>(needed) >= sizeof temporary) {
        copy_text(reason, reason_capacity, std::strerror(ENAMETOOLONG));
        return false;
    }
    // A new file, never one found under that name: not a link into another
    // file, not a FIFO that would block. What an earlier MOLV with the same
    // process id left there (as a container's first process, it always has
    // the same) is removed and the name tried once more.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int descriptor = open(temporary, flags, 0644);
    if (descriptor < 0 && errno == EEXIST && unlink(temporary) == 0) {
        descriptor = open(temporary, flags, 0644);
    }
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
    if (done && take_name(temporary, path)) {
        return true;
    }
    if (done) {
        error = errno;
    }
    unlink(temporary);
    copy_text(reason, reason_capacity, std::strerror(error));
    return false;
}
