// The job object that holds the server and everything it starts, named
// after MOLV's folder. Internal to win32/.
#pragma once

#include <windows.h>

// Puts the process just created suspended into the folder's job, making
// the job at the first call: named after the folder, or without a name
// where that name is another object's. The process gets a handle of the job
// of its own, so that the job and its name last as long as the server
// does, whatever becomes of MOLV. Where the process cannot join (a system
// without nested jobs, and a server that stays in a job MOLV was put in),
// it runs outside, and the reason waits for platform_take_grouping_failure.
void put_in_server_job(HANDLE process);

// Opens the folder's job again for `process`, a server that an earlier MOLV
// started. Where there is none to open (it was made without a name, or the
// server is not in it), the reason waits for platform_take_grouping_failure,
// and the server's own process is all that is watched and stopped.
void open_server_job(HANDLE process);

// Opens the folder's job, that of a server that has ended while no MOLV
// ran, so that what is left in it is found and stopped; false when there
// is none (a job lasts only as long as a process in it holds it).
bool open_folder_job();

// The server's processes: those of its job, the system's own left out
// (Wine's desktop and the console host land in the job, and never end with
// the server). Their ids, up to `capacity`, go to `ids`; the count takes in
// those beyond. 0 without a job.
unsigned server_job_processes(DWORD* ids, unsigned capacity);

// Ends the server's processes by force: the whole job at once, or where the
// system's own are in it, each of the others (the whole job again when
// there are more than can be listed).
void end_server_job();
