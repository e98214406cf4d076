// One MOLV per folder: "molv.lock" held open for writing without write
// sharing for the whole run, so that a second MOLV cannot open it so; the
// system closes it however MOLV ends, and a stale file never blocks. The
// file holds the record of lock_record.h, rewritten in place: a renamed new
// file would stand beside the held one, and another MOLV would take that.
#include <windows.h>

#include <cstring>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/win32/identity.h"
#include "platform/win32/lock.h"
#include "platform/win32/reason.h"

namespace {

HANDLE lock_file = INVALID_HANDLE_VALUE;

// The record found when the lock was taken, the one in the file now, and
// the one before the last launch, put back when that launch fails.
lock_record found_record = {};
lock_record current_record = {};
lock_record before_launch = {};

// The log's fingerprint for the next launch's record.
char launch_log[file_fingerprint_capacity] = "";

bool read_record(HANDLE file, lock_record& record)
{
    char text[lock_record_capacity];
    DWORD got = 0;
    OVERLAPPED at = {};
    return ReadFile(file, text, sizeof text, &got, &at) && got > 0 &&
           parse_lock_record(text, got, record);
}

void write_record(const lock_record& record)
{
    current_record = record;
    char text[lock_record_capacity];
    if (lock_file == INVALID_HANDLE_VALUE || !compose_lock_record(record, text, sizeof text)) {
        return;
    }
    const DWORD length = static_cast<DWORD>(std::strlen(text));
    DWORD written = 0;
    OVERLAPPED at = {};
    // Written first, cut after: a MOLV ended in between leaves a record
    // whose end does not stand last, which no reader takes.
    if (WriteFile(lock_file, text, length, &written, &at) && written == length) {
        SetFilePointer(lock_file, static_cast<LONG>(length), nullptr, FILE_BEGIN);
        SetEndOfFile(lock_file);
    }
}

// The id of the MOLV that holds the lock, read through a handle that shares
// everything; 0 when it cannot be read.
unsigned long holder_of_lock()
{
    const HANDLE file = CreateFileA(lock_file_name, GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    lock_record other = {};
    const bool read = read_record(file, other);
    CloseHandle(file);
    return read ? other.molv : 0;
}

} // namespace

folder_lock platform_lock_folder(unsigned long& holder, char* reason, std::size_t reason_capacity)
{
    holder = 0;
    // Not inheritable: the handle stays MOLV's.
    const HANDLE file = CreateFileA(lock_file_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
            holder = holder_of_lock();
            return folder_lock::busy;
        }
        system_reason(error, reason, reason_capacity, lock_file_name);
        return folder_lock::failed;
    }
    lock_file = file;
    if (!read_record(file, found_record)) {
        found_record = lock_record{};
    }
    char identity[process_identity_capacity] = "";
    const bool known = process_identity(GetCurrentProcess(), identity, sizeof identity);
    write_record(record_of_new_molv(found_record, GetCurrentProcessId(), known ? identity : "",
                                    known ? platform_epoch_seconds() : 0));
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
    const HANDLE file = CreateFileA(lock_file_name, GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Two readings alike, so that one taken while MOLV rewrote the record
    // is not believed.
    char text[lock_record_capacity];
    char again[lock_record_capacity];
    bool read = false;
    for (int attempt = 0; attempt < 20 && !read; ++attempt) {
        DWORD got = 0;
        DWORD second = 0;
        OVERLAPPED at = {};
        OVERLAPPED at_again = {};
        read = ReadFile(file, text, sizeof text, &got, &at) &&
               ReadFile(file, again, sizeof again, &second, &at_again) && got > 0 &&
               got < sizeof text && got == second && std::memcmp(text, again, got) == 0 &&
               parse_lock_record(text, got, record);
    }
    CloseHandle(file);
    return read;
}

bool platform_previous_record(lock_record& record)
{
    record = found_record;
    return lock_file != INVALID_HANDLE_VALUE && record.server != 0;
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
    record.molv = GetCurrentProcessId();
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
