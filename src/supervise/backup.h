// The dated copy of the server log kept after each end of the server.
#pragma once

#include <cstddef>
#include <ctime>

// Room for the longest name: "31.12.2147483647__23_59_59-4294967295.log".
constexpr std::size_t backup_name_capacity = 64;

// "day.month.year__HH_MM_SS.log" for `time`; a `suffix` above 1 goes before
// ".log" as "-2", "-3", ... for further backups within the same second.
void backup_name(const std::tm& time, unsigned suffix, char* destination,
                 std::size_t capacity);

// The suffix to try first for a backup named `name` (without suffix), given
// the previous backup's name and the suffix it took: the next one after it
// when the second is the same, else 1. Keeps a run of ends within one second
// from probing every taken name again.
unsigned first_backup_suffix(const char* name, const char* previous_name,
                             unsigned previous_suffix);

// Copies the log named by `logfile` to a new dated file in the current
// directory and reports how it went. Returns false, with the system's reason
// in `failure`, when the log is there but could not be copied.
bool backup_log(char* failure, std::size_t failure_capacity);

// The same with the copy named after `time` instead of now. Each name is
// noted in the lock file's record before the copy under it is begun.
bool backup_log_as_of(const std::tm& time, char* failure, std::size_t failure_capacity);

// True when `name` has exactly the form backup_name gives:
// "day.month.year__HH_MM_SS.log" with an optional "-K" (K from 2) before
// ".log", day and month without leading zeros, a year of four digits, each
// part of the time of two, and every number within its range.
bool is_backup_name(const char* name);
