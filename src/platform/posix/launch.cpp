// The process at start and the launch of its children: the standard
// descriptors filled, MOLV's own descriptors kept from every program it
// starts, and the server started in a session of its own, recorded before
// it runs.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <signal.h>
#include <sys/prctl.h>
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

// Why the game could not be started, set by the new process, which shares
// MOLV's memory until it starts the game or gives up; 0 when it started.
volatile int start_error = 0;

// The new process's own part of a start, while MOLV waits (vfork): for the
// server a session of its own and then its record in the lock file,
// written before the game can run, whatever becomes of MOLV meanwhile; for
// every program the null device for input and nothing of MOLV's open.
// Every signal stays blocked until the signals go back to their defaults,
// so none meant for MOLV runs MOLV's handlers here; one sent to the new
// process meanwhile takes effect at the last step.
[[noreturn]] void start_child(const char* program, char* const* words, int input, bool server)
{
    if (server) {
        setsid();
    }
    if (input >= 0) {
        dup2(input, STDIN_FILENO);
    } else {
        close(STDIN_FILENO);
    }
    if (server) {
        record_server(static_cast<unsigned long>(getpid()));
    }
    // What MOLV ignores goes back to its default, and what it catches too,
    // before any of it can come in here; what MOLV itself was started
    // with ignored stays so.
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int number : {SIGPIPE, SIGXFSZ, SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) {
        sigaction(number, &defaults, nullptr);
    }
    if (!descriptors_marked) {
        // Where close-on-exec could not be set on everything at start.
        const int highest = static_cast<int>(sysconf(_SC_OPEN_MAX));
        for (int fd = 3; fd < highest && fd < 65536; ++fd) {
            close(fd);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program, words, environ);
    start_error = errno;
    _exit(127);
}

} // namespace

pid_t start_program(const char* program, char* const* words, bool server, int& error)
{
    const int input = null_device();
    // Every signal waits while the new process is made (and recorded): a
    // stop signal that comes meanwhile then finds the server's id known.
    sigset_t all;
    sigfillset(&all);
    sigset_t previous_mask;
    sigprocmask(SIG_BLOCK, &all, &previous_mask);
    start_error = 0;
    const pid_t pid = vfork();
    if (pid == 0) {
        start_child(program, words, input, server);
    }
    error = pid < 0 ? errno : start_error;
    if (pid > 0 && error != 0) {
        // It never ran: the record of the MOLV before is put back.
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (server) {
            undo_server_record();
        }
    } else if (pid > 0 && server) {
        keep_server(pid);
        watch_session(pid);
        if (received_stop_signal() != 0) {
            // A stop asked for just before this launch.
            kill(-pid, received_stop_signal());
            note_group_asked();
        }
    }
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    return error == 0 ? pid : -1;
}

bool platform_start_server(const char* exename, const char* command_line, char* reason,
                           std::size_t reason_capacity)
{
    static command_words words;
    if (!split_command_line(exename, command_line, words)) {
        copy_text(reason, reason_capacity, "the command line does not begin with the executable");
        return false;
    }
    prepare_server_record();
    int error = 0;
    if (start_program(exename, words.words, true, error) < 0) {
        copy_text(reason, reason_capacity, std::strerror(error));
        return false;
    }
    return true;
}
