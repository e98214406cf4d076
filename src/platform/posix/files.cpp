// Files: the settings path and reader, the existence test, and the copy that
// never replaces a file and never shows a partial one under its name.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/posix/files.h"
#include "platform/profile_text.h"
#include "platform/working_name.h"

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
    int fd = open_file(path, info);
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

namespace {

// How much one copy_file_range call is asked to move: small enough that an
// end of MOLV is never held up long, large enough that the calls cost
// nothing beside the copying.
constexpr std::size_t kernel_chunk = 8 * 1024 * 1024;

// The serial number of the last working name this process chose.
unsigned long long working_serial = 0;

// Reading the folder costs time in proportion to the files in it, and a
// folder of backups may hold many thousands. Copies named through O_TMPFILE leave nothing behind
// however they end, so the folder is searched for leftovers at the first
// backup of a run, and after that only while this file system makes the
// copies go under working names.
bool folder_searched = false;
bool working_names_used = false;

bool one_of(int error, std::initializer_list<int> errors)
{
    for (int listed : errors) {
        if (error == listed) {
            return true;
        }
    }
    return false;
}

// Copies from the current offset of `in` to its end through user space.
// Returns 0 or the error.
int copy_through_buffer(int in, int out)
{
    char buffer[65536];
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            return 0;
        }
        if (!write_all(out, buffer, static_cast<std::size_t>(got))) {
            return errno;
        }
    }
}

// Copies all of `in` to `out`, in the kernel where it can (on file systems
// that share blocks this costs almost nothing), else through user space.
// Returns 0 or the error. A write beyond the file size limit fails with
// EFBIG either way, as SIGXFSZ is ignored.
int copy_data(int in, int out)
{
    bool first = true;
    for (;;) {
        ssize_t moved = copy_file_range(in, nullptr, out, nullptr, kernel_chunk, 0);
        if (moved > 0) {
            first = false;
            continue;
        }
        if (moved == 0) {
            // Nothing at the first call may also be a file whose size the
            // system does not know in advance: reading tells for sure.
            return first ? copy_through_buffer(in, out) : 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (first && one_of(errno, {EXDEV, ENOSYS, EOPNOTSUPP, EINVAL})) {
            return copy_through_buffer(in, out);
        }
        // A copy that reached the file size limit exactly is refused
        // before the kernel looks for more; reading tells whether there is
        // more, which then fails to be written alike.
        if (errno == EFBIG) {
            return copy_through_buffer(in, out);
        }
        return errno;
    }
}

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

// Gives the permission bits of the log to its copy, whatever the umask was.
// A system that cannot leaves the copy as created: for its owner alone.
void take_mode(int out, mode_t mode)
{
    while (fchmod(out, mode & 0777) != 0 && errno == EINTR) {
    }
}

enum class naming_outcome { named, taken, refused, failed };

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
naming_outcome copy_unnamed(int in, mode_t mode, const char* directory,
                            const char* destination, int& error)
{
    int out = open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (out < 0) {
        error = errno;
        return one_of(error, {EOPNOTSUPP, EISDIR, EINVAL}) ? naming_outcome::refused
                                                           : naming_outcome::failed;
    }
    error = copy_data(in, out);
    if (error != 0) {
        // The unnamed file goes with its descriptor.
        close(out);
        return naming_outcome::failed;
    }
    take_mode(out, mode);
    naming_outcome outcome = link_unnamed(out, destination, error);
    if (close(out) != 0 && outcome == naming_outcome::named) {
        // A late write error: what the name holds may not be whole.
        error = errno;
        unlink(destination);
        return naming_outcome::failed;
    }
    return outcome;
}

// Gives the complete file `working` the name `destination` without ever
// replacing one: a hard link, or where the file system has none, a rename
// that refuses a taken name. The working name is gone afterwards.
naming_outcome name_working_copy(const char* working, const char* destination, int& error)
{
    naming_outcome outcome = naming_outcome::named;
    if (link(working, destination) != 0) {
        error = errno;
        if (one_of(error, {EPERM, EOPNOTSUPP, ENOSYS})) {
            if (renameat2(AT_FDCWD, working, AT_FDCWD, destination, RENAME_NOREPLACE) == 0) {
                return naming_outcome::named;
            }
            error = errno;
        }
        outcome = error == EEXIST ? naming_outcome::taken : naming_outcome::failed;
    }
    unlink(working);
    return outcome;
}

// The copy under a working name in the destination's directory.
naming_outcome copy_under_working_name(int in, mode_t mode, const char* directory,
                                       const char* destination, int& error)
{
    working_names_used = true;
    char name[working_name_capacity];
    char working[PATH_MAX];
    int out = -1;
    // A name still taken by a leftover of this process id (one that ran
    // before under the same id) is passed over; a few tries are plenty.
    for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
        bool fits = working_name(static_cast<unsigned long long>(getpid()), ++working_serial,
                                 name, sizeof name) &&
                    copy_text(working, sizeof working,
                              std::strcmp(directory, ".") == 0 ? "" : directory) &&
                    (std::strcmp(directory, ".") == 0 || std::strcmp(directory, "/") == 0 ||
                     append_text(working, sizeof working, "/")) &&
                    append_text(working, sizeof working, name);
        if (!fits) {
            error = ENAMETOOLONG;
            return naming_outcome::failed;
        }
        out = open(working, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (out < 0 && errno != EEXIST) {
            error = errno;
            return naming_outcome::failed;
        }
    }
    if (out < 0) {
        error = EEXIST;
        return naming_outcome::failed;
    }
    error = copy_data(in, out);
    if (error == 0) {
        take_mode(out, mode);
    }
    if (close(out) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(working);
        return naming_outcome::failed;
    }
    return name_working_copy(working, destination, error);
}

// Whether a process with this id runs (whoever it belongs to).
bool process_runs(unsigned long id)
{
    if (id == 0 || id > static_cast<unsigned long>(INT_MAX)) {
        return false;
    }
    return kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

} // namespace

copy_result copy_new_named(const char* source, const char* destination, copy_naming naming,
                           char* reason, std::size_t reason_capacity)
{
    struct stat info;
    int in = open_file(source, info);
    if (in < 0) {
        set_reason(reason, reason_capacity, errno);
        return copy_result::source_missing;
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
                      ? copy_unnamed(in, info.st_mode, directory, destination, error)
                      : naming_outcome::refused;
        if (outcome == naming_outcome::refused) {
            // Start over from the beginning of the log under a working name.
            if (lseek(in, 0, SEEK_SET) == 0) {
                outcome = copy_under_working_name(in, info.st_mode, directory, destination,
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

void platform_remove_stale_copies()
{
    if (folder_searched && !working_names_used) {
        return;
    }
    folder_searched = true;
    DIR* directory = opendir(".");
    if (directory == nullptr) {
        return;
    }
    const int folder = dirfd(directory);
    const unsigned long self = static_cast<unsigned long>(getpid());
    while (const dirent* entry = readdir(directory)) {
        unsigned long owner = 0;
        struct stat info;
        if (!parse_working_name(entry->d_name, owner) ||
            (owner != self && process_runs(owner)) ||
            fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        unlinkat(folder, entry->d_name, 0);
    }
    closedir(directory);
}
