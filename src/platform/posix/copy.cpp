// The copy that never replaces a file and never shows a partial one under
// its name: written into an unnamed file and linked into place once
// complete, or under a working name where the file system has no unnamed
// files.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/posix/copy.h"
#include "platform/posix/copy_data.h"
#include "platform/posix/files.h"
#include "platform/posix/working_copies.h"

namespace {

// The directory part of `path` ("." for a bare name) into `directory`, and
// whether it fit.
bool directory_of(const char* path, char* directory, std::size_t capacity)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return copy_text(directory, capacity, ".");
    }
    std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (length >= capacity) {
        return false;
    }
    std::memcpy(directory, path, length);
    directory[length] = '\0';
    return true;
}

// Links the unnamed file `out` to `destination`: directly where this
// process may (it takes the right to read any file), else through /proc.
naming_outcome link_unnamed(int out, const char* destination, int& error)
{
    if (linkat(out, "", AT_FDCWD, destination, AT_EMPTY_PATH) == 0) {
        return naming_outcome::named;
    }
    error = errno;
    if (error == ENOENT || error == EPERM || error == EINVAL) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", out);
        if (linkat(AT_FDCWD, path, AT_FDCWD, destination, AT_SYMLINK_FOLLOW) == 0) {
            return naming_outcome::named;
        }
        error = errno;
    }
    if (error == EEXIST) {
        return naming_outcome::taken;
    }
    return one_of(error, {ENOENT, EPERM, EINVAL, EOPNOTSUPP, ENOSYS}) ? naming_outcome::refused
                                                                     : naming_outcome::failed;
}

// The copy into an unnamed file in the destination's directory; `refused`
// when the file system has no unnamed files or cannot name one, and then
// nothing has been written anywhere.
naming_outcome copy_unnamed(int in, const struct stat& info, const char* directory,
                            const char* destination, int& error)
{
    int out = open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (out < 0) {
        error = errno;
        return one_of(error, {EOPNOTSUPP, EISDIR, EINVAL}) ? naming_outcome::refused
                                                           : naming_outcome::failed;
    }
    error = copy_data(in, out, info.st_size);
    if (error != 0) {
        // The unnamed file goes with its descriptor.
        close(out);
        return naming_outcome::failed;
    }
    take_mode(out, info.st_mode);
    naming_outcome outcome = link_unnamed(out, destination, error);
    if (close(out) != 0 && outcome == naming_outcome::named) {
        // A late write error: what the name holds may not be whole.
        error = errno;
        unlink(destination);
        return naming_outcome::failed;
    }
    return outcome;
}

} // namespace

copy_result copy_new_named(const char* source, const char* destination, copy_naming naming,
                           char* reason, std::size_t reason_capacity)
{
    struct stat info;
    int in = open_plain_file(source, info);
    if (in < 0) {
        // Only a log that is not there is missing; one that cannot be read
        // (no permission, an I/O error, a folder) is a failed backup.
        const int error = errno;
        set_reason(reason, reason_capacity, error);
        return error == ENOENT || error == ENOTDIR ? copy_result::source_missing
                                                   : copy_result::failed;
    }
    // A taken name is passed over before anything is copied, so that the
    // search for a free suffix costs no copy for each name it tries.
    struct stat taken;
    if (lstat(destination, &taken) == 0) {
        close(in);
        set_reason(reason, reason_capacity, EEXIST);
        return copy_result::exists;
    }
    char directory[PATH_MAX];
    int error = ENAMETOOLONG;
    naming_outcome outcome = naming_outcome::failed;
    if (directory_of(destination, directory, sizeof directory)) {
        outcome = naming == copy_naming::unnamed_file
                      ? copy_unnamed(in, info, directory, destination, error)
                      : naming_outcome::refused;
        if (outcome == naming_outcome::refused) {
            // Start over from the beginning of the log under a working name.
            if (lseek(in, 0, SEEK_SET) == 0) {
                outcome = copy_under_working_name(in, info, directory, destination,
                                                  error);
            } else {
                error = errno;
                outcome = naming_outcome::failed;
            }
        }
    }
    close(in);
    switch (outcome) {
    case naming_outcome::named:
        return copy_result::copied;
    case naming_outcome::taken:
        set_reason(reason, reason_capacity, EEXIST);
        return copy_result::exists;
    default:
        set_reason(reason, reason_capacity, error);
        return copy_result::failed;
    }
}

copy_result platform_copy_new(const char* source, const char* destination, char* reason,
                              std::size_t reason_capacity)
{
    return copy_new_named(source, destination, copy_naming::unnamed_file, reason,
                          reason_capacity);
}
