// The working copies that the Windows copy goes through: their deletion,
// here beside the removal of those an ended MOLV left. Internal to win32/.
#pragma once

// Deletes a working copy, read-only or not; one that another process holds
// open stays.
void delete_working_copy(const char* path);
