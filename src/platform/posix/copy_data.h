// What goes into a copy: the bytes of the log and its permission bits.
// Internal to posix/.
#pragma once

#include <sys/types.h>

// Copies all of `in` to `out`, in the kernel where it can (on file systems
// that share blocks this costs almost nothing), else through user space;
// in the kernel it stops once `size` bytes (the file's size when it was
// opened) have been moved. Returns 0 or the error. A write beyond the file
// size limit fails with EFBIG either way, as SIGXFSZ is ignored.
int copy_data(int in, int out, off_t size);

// Gives the permission bits of the log to its copy, whatever the umask was.
// A system that cannot leaves the copy as created: for its owner alone.
void take_mode(int out, mode_t mode);
