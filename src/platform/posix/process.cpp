// The process: its preparation at start, the server started with posix_spawn
// in a session of its own, waited for without polling, and reaped, the stop
// signals of a container's first process, and the key prompt.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/command_words.h"
#include "platform/platform.h"

extern char** environ;

namespace {

// The running server's process id, -1 while none runs. The stop handler
// reads it, hence the type.
volatile sig_atomic_t server_pid = -1;

// The stop signal received as a container's first process, 0 while none.
volatile sig_atomic_t stop_signal = 0;

// Set while the key prompt is ended by a signal that the process survives.
volatile sig_atomic_t pause_interrupted = 0;

// Whether the stop signals are caught and passed on (only as PID 1).
bool passing_stops = false;

// Whether descriptors from 3 up were all marked close-on-exec at start;
// where the system could not, every launch closes them in the server.
bool descriptors_marked = false;

// The terminal settings in force before the key prompt.
termios terminal_before_pause;

// The signals that stop a container: SIGTERM from the container's manager,
// SIGINT from a Ctrl+C on an attached terminal, SIGHUP from a closed one.
const int stop_signals[] = {SIGTERM, SIGINT, SIGHUP};

// The signals that end the program at the key prompt and would leave the
// terminal without echo: the stop signals and Ctrl+\.
const int prompt_signals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
constexpr std::size_t prompt_signal_count = sizeof prompt_signals / sizeof prompt_signals[0];

sigset_t signal_set(const int* signals, std::size_t count)
{
    sigset_t set;
    sigemptyset(&set);
    for (std::size_t i = 0; i < count; ++i) {
        sigaddset(&set, signals[i]);
    }
    return set;
}

sigset_t stop_set()
{
    return signal_set(stop_signals, sizeof stop_signals / sizeof stop_signals[0]);
}

// PID 1 gets no signal it has no handler for, so a container could not be
// stopped short of killing it. The signal goes to the server's session and
// MOLV ends once the server's end has been handled.
void pass_on_stop(int signal_number)
{
    const int saved_errno = errno;
    stop_signal = signal_number;
    if (server_pid > 0) {
        kill(-static_cast<pid_t>(server_pid), signal_number);
    }
    errno = saved_errno;
}

// A signal at the key prompt: the terminal gets its settings back first,
// then the signal does what it would have done without the handler.
void end_pause(int signal_number)
{
    const int saved_errno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &terminal_before_pause);
    struct sigaction fallback = {};
    fallback.sa_handler = passing_stops && signal_number != SIGQUIT ? pass_on_stop : SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    // Blocked until this handler returns; then it ends the process, except
    // as PID 1, where it is passed on as a stop request.
    raise(signal_number);
    pause_interrupted = 1;
    errno = saved_errno;
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

void catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = pass_on_stop;
    action.sa_mask = stop_set();
    // No SA_RESTART: the wait and the key prompt see the stop at once.
    action.sa_flags = 0;
    for (int signal_number : stop_signals) {
        sigaction(signal_number, &action, nullptr);
    }
    const sigset_t stops = stop_set();
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    passing_stops = true;
}

bool before(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
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
    // the server's end away before MOLV can wait for it.
    signal(SIGCHLD, SIG_DFL);
    if (getpid() == 1) {
        catch_stop_signals();
    }
}

bool platform_stop_requested()
{
    return stop_signal != 0;
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
    if (passing_stops) {
        const sigset_t stops = stop_set();
        sigprocmask(SIG_BLOCK, &stops, &previous_mask);
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // No input for the server: the null device, or where there is none (a
    // minimal root), a closed standard input.
    const int null_device = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_device >= 0) {
        posix_spawn_file_actions_adddup2(&actions, null_device, STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
    }
    if (!descriptors_marked) {
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }
    // A session of its own, so that Ctrl+C or a closed terminal at the
    // supervisor does not reach it; the signals MOLV ignores at their
    // defaults, and none blocked.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigset_t no_mask;
    sigemptyset(&no_mask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &no_mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    int error = posix_spawn(&pid, exename, &actions, &attributes, words.words, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (null_device >= 0) {
        close(null_device);
    }
    if (error == 0) {
        server_pid = pid;
        // A stop asked for just before this launch.
        if (stop_signal != 0) {
            kill(-pid, stop_signal);
        }
    }
    if (passing_stops) {
        sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    }
    if (error != 0) {
        copy_text(reason, reason_capacity, std::strerror(error));
        return false;
    }
    return true;
}

void platform_wait_server()
{
    if (server_pid <= 0) {
        return;
    }
    // Any child may end here, not only the server: a container's first
    // process inherits the server's orphans and must collect them too. The
    // wait blocks; a stop signal interrupts it after passing itself on.
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, 0);
        if (ended == static_cast<pid_t>(server_pid) || (ended < 0 && errno != EINTR)) {
            break;
        }
    }
    server_pid = -1;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

void platform_sleep_seconds(unsigned seconds)
{
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += static_cast<time_t>(seconds);

    // The stop signals are let in only inside the wait, so that one that
    // comes just before it still cuts the sleep short.
    const sigset_t stops = stop_set();
    sigset_t waiting_mask;
    sigprocmask(SIG_BLOCK, &stops, &waiting_mask);
    while (stop_signal == 0) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!before(now, end)) {
            break;
        }
        timespec left = {end.tv_sec - now.tv_sec, end.tv_nsec - now.tv_nsec};
        if (left.tv_nsec < 0) {
            left.tv_nsec += 1000000000L;
            --left.tv_sec;
        }
        ppoll(nullptr, 0, &left, &waiting_mask);
    }
    sigprocmask(SIG_SETMASK, &waiting_mask, nullptr);
}

void platform_pause()
{
    std::fputs("Press any key to continue . . . ", stdout);
    std::fflush(stdout);

    const bool terminal = tcgetattr(STDIN_FILENO, &terminal_before_pause) == 0;
    struct sigaction previous[prompt_signal_count];
    if (terminal) {
        // The handlers come first, so that no signal finds the terminal
        // changed without them.
        struct sigaction action = {};
        action.sa_handler = end_pause;
        action.sa_mask = signal_set(prompt_signals, prompt_signal_count);
        action.sa_flags = 0;
        for (std::size_t i = 0; i < prompt_signal_count; ++i) {
            sigaction(prompt_signals[i], &action, &previous[i]);
        }
        termios raw = terminal_before_pause;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR && stop_signal == 0 &&
           pause_interrupted == 0) {
    }
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &terminal_before_pause);
        for (std::size_t i = 0; i < prompt_signal_count; ++i) {
            sigaction(prompt_signals[i], &previous[i], nullptr);
        }
    }
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
