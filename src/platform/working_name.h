// The working name under which a backup is copied before it gets its dated
// name: ".molv-backup-<process id>-<serial>.tmp", both numbers in decimal
// without leading zeros. Nothing else MOLV writes, and no dated backup, has a
// name of this form, so a leftover of an ended MOLV can be told apart from
// anything an operator keeps in the folder.
#pragma once

#include <cstddef>

// Room for the longest working name, both numbers at 4294967295.
constexpr std::size_t working_name_capacity = 48;

// Writes the working name for `process` and `serial` to `destination`;
// returns false (and leaves an empty text) when either number is 0 or above
// 4294967295, or the name does not fit.
bool working_name(unsigned long long process, unsigned long long serial, char* destination,
                  std::size_t capacity);

// True when `name` is exactly a working name; then `process` holds the
// process id in it.
bool parse_working_name(const char* name, unsigned long& process);
