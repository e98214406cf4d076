// The bytes of a copy: moved by the kernel with copy_file_range where it
// can, through a buffer where it cannot, and the permission bits after.
#include <cerrno>
#include <cstddef>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/copy_data.h"
#include "platform/posix/files.h"

namespace {

// How much one copy_file_range call is asked to move: small enough that an
// end of MOLV is never held up long, large enough that the calls cost
// nothing beside the copying.
constexpr std::size_t kernel_chunk = 8 * 1024 * 1024;

bool write_all(int fd, const char* data, std::size_t count)
{
    while (count > 0) {
        ssize_t written = write(fd, data, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// Copies from the current offset of `in` to its end through user space.
// Returns 0 or the error.
int copy_through_buffer(int in, int out)
{
    char buffer[65536];
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            return 0;
        }
        if (!write_all(out, buffer, static_cast<std::size_t>(got))) {
            return errno;
        }
    }
}

} // namespace

int copy_data(int in, int out, off_t size)
{
    bool first = true;
    off_t copied = 0;
    for (;;) {
        ssize_t moved = copy_file_range(in, nullptr, out, nullptr, kernel_chunk, 0);
        if (moved > 0) {
            first = false;
            // The whole file as it was when opened: no call more to learn
            // that it ends there.
            copied += moved;
            if (copied == size) {
                return 0;
            }
            continue;
        }
        if (moved == 0) {
            // Nothing at the first call may also be a file whose size the
            // system does not know in advance: reading tells for sure.
            return first ? copy_through_buffer(in, out) : 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (first && one_of(errno, {EXDEV, ENOSYS, EOPNOTSUPP, EINVAL})) {
            return copy_through_buffer(in, out);
        }
        // A copy that reached the file size limit exactly is refused
        // before the kernel looks for more; reading tells whether there is
        // more, which then fails to be written alike.
        if (errno == EFBIG) {
            return copy_through_buffer(in, out);
        }
        return errno;
    }
}

void take_mode(int out, mode_t mode)
{
    while (fchmod(out, mode & 0777) != 0 && errno == EINTR) {
    }
}
