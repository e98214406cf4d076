// The process at start and the launch of its children: the standard
// descriptors filled, MOLV's own descriptors kept from every program it
// starts, and the server started in a session of its own, held at a gate
// until it has been recorded.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/command_words.h"
#include "platform/platform.h"
#include "platform/posix/children.h"
#include "platform/posix/found.h"
#include "platform/posix/launch.h"
#include "platform/posix/lock.h"
#include "platform/posix/session.h"
#include "platform/posix/signals.h"

extern char** environ;

namespace {

// Whether descriptors from 3 up were all marked close-on-exec at start;
// where the system could not, every launch closes them in the server.
bool descriptors_marked = false;

// The null device for the server's input, opened at the first launch and
// kept; -1 where there is none (a minimal root): the input is closed then.
int null_device()
{
    static const int device = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return device;
}

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

namespace {

// The server's own part of its start, in the new process: a session of its
// own, the null device for input, then the wait at the gate until MOLV has
// recorded it. When MOLV ends before that (the gate closes unopened), the
// game never runs. Then the signals MOLV caught or ignored go back to their
// defaults, none stays blocked, and the game is started; why it could not
// be goes back through the gate. Every signal stays blocked until then, so none
// meant for MOLV runs MOLV's handlers here; one sent to the server meanwhile
// takes effect at the last step.
[[noreturn]] void run_behind_gate(const char* exename, char* const* words, int input, int gate)
{
    setsid();
    if (input >= 0) {
        dup2(input, STDIN_FILENO);
    } else {
        close(STDIN_FILENO);
    }
    // Nothing of MOLV's stays open here while the child waits: a lock file
    // held by it would keep the next MOLV out once MOLV has ended.
    if (gate > 3 && close_range(3, static_cast<unsigned>(gate) - 1, 0) != 0) {
        for (int fd = 3; fd < gate; ++fd) {
            close(fd);
        }
    }
    if (close_range(static_cast<unsigned>(gate) + 1, ~0U, 0) != 0) {
        const int highest = static_cast<int>(sysconf(_SC_OPEN_MAX));
        for (int fd = gate + 1; fd < highest && fd < 65536; ++fd) {
            close(fd);
        }
    }
    char go = 0;
    ssize_t got = 0;
    do {
        got = read(gate, &go, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1) {
        _exit(127);
    }
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int number = 1; number < NSIG; ++number) {
        sigaction(number, &defaults, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(exename, words, environ);
    const int error = errno;
    ssize_t sent = 0;
    do {
        sent = write(gate, &error, sizeof error);
    } while (sent < 0 && errno == EINTR);
    _exit(127);
}

// Reads the child's report: 0 once the game has started, or why it could
// not.
int read_report(int report)
{
    int error = 0;
    ssize_t got = 0;
    do {
        got = read(report, &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

} // namespace

bool platform_start_server(const char* exename, const char* command_line, char* reason,
                           std::size_t reason_capacity)
{
    static command_words words;
    if (!split_command_line(exename, command_line, words)) {
        copy_text(reason, reason_capacity, "the command line does not begin with the executable");
        return false;
    }
    // One socket pair is the gate and the way back: MOLV's end opens the
    // gate with one byte, and reads the child's report until exec closes
    // the child's end. It goes with MOLV: a MOLV that ends before opening
    // the gate leaves the child an end of input instead.
    int gate[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gate) != 0) {
        copy_text(reason, reason_capacity, std::strerror(errno));
        return false;
    }
    // Every signal waits while the server is made and recorded: a stop
    // signal that comes meanwhile then finds the server's id known.
    sigset_t all;
    sigfillset(&all);
    sigset_t previous_mask;
    sigprocmask(SIG_BLOCK, &all, &previous_mask);
    const pid_t pid = fork();
    if (pid == 0) {
        run_behind_gate(exename, words.words, null_device(), gate[1]);
    }
    int error = pid < 0 ? errno : 0;
    close(gate[1]);
    if (pid > 0) {
        keep_server(pid);
        record_server();
        watch_session(pid);
        // The record is there: the game may run.
        const char go = 1;
        if (write(gate[0], &go, 1) != 1) {
            kill(pid, SIGKILL);
        }
        error = read_report(gate[0]);
        if (error == 0 && received_stop_signal() != 0) {
            // A stop asked for just before this launch.
            kill(-pid, received_stop_signal());
            note_group_asked();
        }
    }
    close(gate[0]);
    if (error != 0 && pid > 0) {
        // The game never ran: the record of the MOLV before is put back.
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        forget_server();
        undo_server_record();
    }
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
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
