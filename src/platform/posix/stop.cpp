// The stop of the server: SIGTERM, then SIGKILL, to its process group. The
// server leads a session of its own, so a wrapper script and the programs it
// started are reached too.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/types.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/posix/signals.h"

namespace {

bool signal_server_group(int signal_number, char* reason, std::size_t reason_capacity)
{
    const unsigned long id = platform_server_id();
    if (id == 0) {
        copy_text(reason, reason_capacity, "no gameserver is running");
        return false;
    }
    if (kill(-static_cast<pid_t>(id), signal_number) != 0) {
        copy_text(reason, reason_capacity, std::strerror(errno));
        return false;
    }
    note_group_asked();
    return true;
}

} // namespace

bool platform_ask_server_to_stop(char* reason, std::size_t reason_capacity)
{
    return signal_server_group(SIGTERM, reason, reason_capacity);
}

bool platform_force_server_end(char* reason, std::size_t reason_capacity)
{
    return signal_server_group(SIGKILL, reason, reason_capacity);
}
