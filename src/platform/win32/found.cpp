// A server found again after a restart of MOLV: the lock file names the
// process MOLV started last with its creation time, so that a later process
// with the same id is never taken for it. Executables are not compared: a
// wrapper under Wine becomes another program with the same id.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/children.h"
#include "platform/win32/job.h"
#include "platform/win32/found.h"
#include "platform/win32/identity.h"
#include "platform/win32/lock.h"


void record_server()
{
    const HANDLE process = server_process_handle();
    char identity[process_identity_capacity];
    if (process != nullptr && process_identity(process, identity, sizeof identity)) {
        write_server_record(platform_server_id(), identity);
    }
}

unsigned long platform_find_server()
{
    lock_record record = {};
    if (!platform_previous_record(record) || record.server == GetCurrentProcessId()) {
        return 0;
    }
    // Its end, its exit code and its forced end; not inheritable.
    const HANDLE process = open_recorded_process(record.server, record.identity, PROCESS_TERMINATE);
    if (process == nullptr) {
        return 0;
    }
    keep_found_server(process, static_cast<DWORD>(record.server));
    // The job an earlier MOLV made for it, so that a stop reaches all of it;
    // without one, the server alone is watched and stopped.
    open_server_job(process);
    return record.server;
}

// What a server that has ended left is found through the folder's job,
// which lasts as long as any process in it: every process there is the
// server's.
bool platform_watch_previous_server_remains()
{
    lock_record record = {};
    if (!platform_previous_record(record) || !open_folder_job()) {
        return false;
    }
    DWORD ids[8];
    return server_job_processes(ids, 8) != 0;
}
