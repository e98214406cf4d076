// The name of a folder's job, the same however the folder is reached.
// Internal to win32/.
#pragma once

#include <cstddef>

// Room for a job's name with its terminator.
constexpr std::size_t job_name_capacity = 32;

// Writes the name of the job of `folder` (a full path; nullptr for the
// current folder) to `name`: "Local\molv-" and a hash of the folder's path
// as the system resolves it, in lower case, so that another spelling of the
// same folder (a short name, a link, another case) gives the same name and
// another folder never does. False when the folder cannot be looked at.
bool job_name_of(const wchar_t* folder, wchar_t* name, std::size_t capacity);
