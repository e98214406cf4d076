// One MOLV per folder: flock on "molv.lock", held for the whole run and let
// go of by the system however MOLV ends, so that a stale file never blocks.
// The file holds the record of lock_record.h, rewritten in place: a renamed
// new file would stand beside the locked one, and another MOLV would lock
// that.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/posix/children.h"
#include "platform/posix/files.h"
#include "platform/posix/identity.h"
#include "platform/posix/lock.h"

namespace {

int lock_descriptor = -1;

// The length of the record in the file, so that a rewrite cuts the file
// only when it has become shorter.
std::size_t record_length = 0;

// The record found when the lock was taken, the one in the file now, and
// the one before the last launch, put back when that launch fails.
lock_record found_record = {};
lock_record current_record = {};
lock_record before_launch = {};

// The log's fingerprint for the next launch's record.
char launch_log[file_fingerprint_capacity] = "";

// Reads the record of the file open on `descriptor`.
bool read_record(int descriptor, lock_record& record)
{
    char text[lock_record_capacity];
    const ssize_t got = pread(descriptor, text, sizeof text, 0);
    return got > 0 && parse_lock_record(text, static_cast<std::size_t>(got), record);
}

// Reads the record as a reader beside the MOLV that writes it: two readings
// alike, so that one taken while it was being rewritten is not believed.
bool read_settled_record(int descriptor, lock_record& record)
{
    char text[lock_record_capacity];
    char again[lock_record_capacity];
    for (int attempt = 0; attempt < 20; ++attempt) {
        const ssize_t got = pread(descriptor, text, sizeof text, 0);
        const ssize_t second = pread(descriptor, again, sizeof again, 0);
        if (got <= 0 || got != second) {
            continue;
        }
        if (std::memcmp(text, again, static_cast<std::size_t>(got)) == 0) {
            return parse_lock_record(text, static_cast<std::size_t>(got), record) &&
                   got < static_cast<ssize_t>(sizeof text);
        }
    }
    return false;
}

void write_record(const lock_record& record)
{
    current_record = record;
    char text[lock_record_capacity];
    if (lock_descriptor < 0 || !compose_lock_record(record, text, sizeof text)) {
        return;
    }
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    // Written first, cut after: a MOLV killed in between leaves a record
    // whose end does not stand last, or is not there, which no reader takes.
    if (pwrite(lock_descriptor, text, length, 0) != static_cast<ssize_t>(length)) {
        return;
    }
    if (length < record_length) {
        const int cut = ftruncate(lock_descriptor, static_cast<off_t>(length));
        (void)cut;
    }
    record_length = length;
}

// Opens the lock file: for reading and writing, or where that is refused
// (a file of another user, a folder under that name) for reading alone,
// which takes the lock all the same but cannot hold a record.
int open_lock_file()
{
    const int descriptor = open(lock_file_name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (descriptor >= 0 || (errno != EACCES && errno != EISDIR && errno != EROFS &&
                            errno != EPERM && errno != ETXTBSY)) {
        return descriptor;
    }
    const int error = errno;
    const int reading = open(lock_file_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    errno = reading >= 0 ? 0 : error;
    return reading;
}

} // namespace

folder_lock platform_lock_folder(unsigned long& holder, char* reason, std::size_t reason_capacity)
{
    holder = 0;
    const int descriptor = open_lock_file();
    if (descriptor < 0) {
        set_reason(reason, reason_capacity, errno);
        return folder_lock::failed;
    }
    int locked = 0;
    do {
        locked = flock(descriptor, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int error = errno;
        lock_record other = {};
        if (error == EWOULDBLOCK && read_record(descriptor, other)) {
            holder = other.molv;
        }
        close(descriptor);
        if (error == EWOULDBLOCK) {
            return folder_lock::busy;
        }
        set_reason(reason, reason_capacity, error);
        return folder_lock::failed;
    }
    lock_descriptor = descriptor;
    if (!read_record(descriptor, found_record)) {
        found_record = lock_record{};
    }
    // Whatever the file held is cut at the first write.
    record_length = lock_record_capacity;
    // This MOLV's id, beside the server of the MOLV before until the first
    // launch or the server found again is recorded.
    char identity[process_identity_capacity] = "";
    const bool known = identity_now(identity, sizeof identity);
    write_record(record_of_new_molv(found_record, static_cast<unsigned long>(own_pid()),
                                    known ? identity : "", known ? platform_epoch_seconds() : 0));
    return folder_lock::held;
}

void platform_record_facts(const run_facts& facts)
{
    if (!same_facts(facts, current_record.facts)) {
        lock_record record = current_record;
        record.facts = facts;
        write_record(record);
    }
}

bool platform_read_record(lock_record& record)
{
    record = lock_record{};
    const int descriptor = open(lock_file_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (descriptor < 0) {
        return false;
    }
    const bool read = read_settled_record(descriptor, record);
    close(descriptor);
    return read;
}

bool platform_previous_record(lock_record& record)
{
    record = found_record;
    return lock_descriptor >= 0 && record.server != 0;
}

void platform_record_answered()
{
    if (current_record.server != 0 && !current_record.answered) {
        lock_record record = current_record;
        record.answered = true;
        write_record(record);
    }
}

void platform_record_backup(const char* name)
{
    if (current_record.server != 0) {
        lock_record record = current_record;
        copy_text(record.backup, sizeof record.backup, name);
        write_record(record);
    }
}

void write_server_record(unsigned long server, const char* identity)
{
    before_launch = current_record;
    lock_record record = {};
    record.molv = static_cast<unsigned long>(own_pid());
    record.molv_since = current_record.molv_since;
    copy_text(record.molv_identity, sizeof record.molv_identity, current_record.molv_identity);
    record.facts = current_record.facts;
    record.server = server;
    copy_text(record.identity, sizeof record.identity, identity);
    copy_text(record.log, sizeof record.log, launch_log);
    write_record(record);
}

void platform_note_launch_log(const char* fingerprint)
{
    copy_text(launch_log, sizeof launch_log, fingerprint);
}

void undo_server_record()
{
    write_record(before_launch);
}
