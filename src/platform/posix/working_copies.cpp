// Copies under working names: chosen from the process id and a serial,
// linked into place once complete, and removed when an ended MOLV left them.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/posix/children.h"
#include "platform/posix/copy_data.h"
#include "platform/posix/files.h"
#include "platform/posix/working_copies.h"
#include "platform/working_name.h"

namespace {

// The serial number of the last working name this process chose.
unsigned long long working_serial = 0;

// Reading the folder costs time in proportion to the files in it, and a
// folder of backups may hold many thousands. Copies named through O_TMPFILE leave nothing behind
// however they end, so the folder is searched for leftovers at the first
// backup of a run, and after that only while this file system makes the
// copies go under working names.
bool folder_searched = false;
bool working_names_used = false;

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

// Whether a process with this id runs (whoever it belongs to).
bool process_runs(unsigned long id)
{
    if (id == 0 || id > static_cast<unsigned long>(INT_MAX)) {
        return false;
    }
    return kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

} // namespace

// The copy under a working name in the destination's directory.
naming_outcome copy_under_working_name(int in, const struct stat& info, const char* directory,
                                       const char* destination, int& error)
{
    working_names_used = true;
    char name[working_name_capacity];
    char working[PATH_MAX];
    int out = -1;
    // A name still taken by a leftover of this process id (one that ran
    // before under the same id) is passed over; a few tries are plenty.
    for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
        bool fits = working_name(static_cast<unsigned long long>(own_pid()), ++working_serial,
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
    error = copy_data(in, out, info.st_size);
    if (error == 0) {
        take_mode(out, info.st_mode);
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
    const unsigned long self = static_cast<unsigned long>(own_pid());
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
