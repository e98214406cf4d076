// A server found again after a restart of MOLV: the lock file names the
// process MOLV started last with its identity (identity.h), so that a later
// process with the same id, or one after a reboot, is never taken for it.
// A found server is not MOLV's child; a pidfd tells its end.
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/children.h"
#include "platform/posix/found.h"
#include "platform/posix/identity.h"
#include "platform/posix/lock.h"
#include "platform/posix/session.h"

void prepare_server_record()
{
    prepare_identity();
    own_pid();
}

void record_server(unsigned long id)
{
    char identity[process_identity_capacity];
    if (id != 0 && identity_now(identity, sizeof identity)) {
        write_server_record(id, identity);
    }
}

unsigned long platform_find_server()
{
    lock_record record = {};
    if (!platform_previous_record(record) || record.server == static_cast<unsigned long>(own_pid()) ||
        !identity_of_this_boot(record.identity)) {
        return 0;
    }
    // The pidfd first: the start checked after it is that of the process it
    // watches. Without pidfds (before Linux 5.3) the wait looks at the
    // process by its id.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(record.server), 0));
    if (!identity_runs(record.server, record.identity)) {
        if (pidfd >= 0) {
            close(pidfd);
        }
        return 0;
    }
    keep_found_server(static_cast<pid_t>(record.server), pidfd);
    // It still leads the session MOLV gave it at its start.
    watch_session(static_cast<pid_t>(record.server), false);
    return record.server;
}

// The recorded server is gone, or its id is another process's now. While
// any process of its session or group is left, the system gives neither
// number to a new process, so a process under the server's id that started
// after the record means that nothing of that session is left.
bool platform_watch_previous_server_remains()
{
    lock_record record = {};
    if (!platform_previous_record(record) || record.server == static_cast<unsigned long>(own_pid()) ||
        !identity_of_this_boot(record.identity) ||
        identity_replaced(record.server, record.identity)) {
        return false;
    }
    watch_session(static_cast<pid_t>(record.server), false);
    return platform_server_leftovers() != 0;
}

bool platform_recorded_process_runs(unsigned long id, const char* identity)
{
    return identity_runs(id, identity);
}
