// The working copies that the Windows copy goes through: their deletion,
// here beside the removal of those an ended MOLV left. Internal to win32/.
#pragma once

// Whether a process with this id runs, whoever it belongs to.
bool process_runs(unsigned long id);

// Deletes a working copy, read-only or not; one that another process holds
// open stays.
void delete_working_copy(const char* path);
