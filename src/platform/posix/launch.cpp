// The process at start and the launch of its children: the standard
// descriptors filled, MOLV's own descriptors kept from every program it
// starts, and the server started with posix_spawn in a session of its own.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/command_words.h"
#include "platform/platform.h"
#include "platform/posix/children.h"
#include "platform/posix/found.h"
#include "platform/posix/launch.h"
#include "platform/posix/session.h"
#include "platform/posix/signals.h"

extern char** environ;

namespace {

// Whether descriptors from 3 up were all marked close-on-exec at start;
// where the system could not, every launch closes them in the server.
bool descriptors_marked = false;

// Opens a harmless file on each closed standard descriptor, so that no file
// opened later, by MOLV or by the server, takes a standard descriptor's
// place and gets console text written into it. Without a null device the
// root directory holds the place: reading or writing it fails at once, and
// without a signal.
void fill_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        int opened = open("/dev/null", O_RDWR);
        if (opened < 0) {
            opened = open("/", O_RDONLY | O_DIRECTORY);
        }
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void keep_descriptors_from_server()
{
    descriptors_marked = close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
}

} // namespace

void platform_prepare_process()
{
    fill_standard_descriptors();
    keep_descriptors_from_server();
    // A vanished reader of the output makes writes fail with EPIPE, and a
    // file-size limit makes the backup fail with EFBIG; neither ends MOLV.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // Whoever started MOLV may have left SIGCHLD ignored, which would throw
    // the server's end away before MOLV can wait for it; the handler
    // replaces that.
    watch_children();
    // Whatever the server leaves behind becomes MOLV's child, so that its
    // end wakes the waits and an empty session is known without a search.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (getpid() == 1) {
        catch_stop_signals();
    }
}

bool platform_start_server(const char* exename, const char* command_line, char* reason,
                           std::size_t reason_capacity)
{
    static command_words words;
    if (!split_command_line(exename, command_line, words)) {
        copy_text(reason, reason_capacity, "the command line does not begin with the executable");
        return false;
    }

    // A stop signal that comes during the launch waits until the server's
    // process id is known, so that it reaches the server.
    sigset_t previous_mask;
    if (stops_passed_on()) {
        const sigset_t stops = stop_set();
        sigprocmask(SIG_BLOCK, &stops, &previous_mask);
    }

    // No input for the server: the null device, or where there is none (a
    // minimal root), a closed standard input.
    const int null_device = open("/dev/null", O_RDONLY | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    // A session of its own, so that Ctrl+C or a closed terminal at the
    // supervisor does not reach it.
    prepare_launch(actions, attributes, null_device, true);

    pid_t pid = -1;
    int error = posix_spawn(&pid, exename, &actions, &attributes, words.words, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (null_device >= 0) {
        close(null_device);
    }
    if (error == 0) {
        keep_server(pid);
        record_server();
        watch_session(pid);
        // A stop asked for just before this launch.
        if (received_stop_signal() != 0) {
            kill(-pid, received_stop_signal());
            note_group_asked();
        }
    }
    if (stops_passed_on()) {
        sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    }
    if (error != 0) {
        copy_text(reason, reason_capacity, std::strerror(error));
        return false;
    }
    return true;
}

void prepare_launch(posix_spawn_file_actions_t& actions, posix_spawnattr_t& attributes,
                    int null_device, bool own_session)
{
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (null_device >= 0) {
        posix_spawn_file_actions_adddup2(&actions, null_device, STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
    }
    if (!descriptors_marked) {
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }
    // The signals MOLV ignores at their defaults (a caught one is reset by
    // the start itself), and none blocked.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigset_t no_mask;
    sigemptyset(&no_mask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &no_mask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (own_session) {
        flags = static_cast<short>(flags | POSIX_SPAWN_SETSID);
    }
    posix_spawnattr_setflags(&attributes, flags);
}
