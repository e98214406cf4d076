// What tells a process apart from a later one under the same id: the boot's
// id and a clock tick its start came no later than. Internal to posix/.
#pragma once

#include <cstddef>

// Reads the boot's id once, before a process that shares MOLV's memory
// (vfork) needs it.
void prepare_identity();

// The identity of a process that has started by now: the clock ticks since
// boot and the boot's id. False where the boot's id cannot be read.
bool identity_now(char* destination, std::size_t capacity);

// Whether the process `id` runs and started no later than `identity` says,
// in the same boot. False for one that has ended, even if not collected.
bool identity_runs(unsigned long id, const char* identity);

// Whether `identity` was taken in this boot.
bool identity_of_this_boot(const char* identity);

// Whether the process under `id` started after `identity` says, in the same
// boot: then the process recorded so has ended, and its id is another's.
bool identity_replaced(unsigned long id, const char* identity);
