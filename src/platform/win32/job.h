// The job object that holds the server and everything it starts, named
// after MOLV's folder. Internal to win32/.
#pragma once

#include <windows.h>

#include <cstddef>

// Puts the process just created suspended into the folder's job, making
// the job at the first call. False with the system's reason when it cannot
// be (an old system, a server already in a job that forbids it); the server
// then runs outside any job.
bool put_in_server_job(HANDLE process, char* reason, std::size_t reason_capacity);

// Opens the job of this folder again by its name, as another MOLV in the
// same folder made it: for a server that runs on from an earlier MOLV.
// False when there is none.
bool open_server_job();
