// The process: its preparation at start, the server started with posix_spawn
// in a session of its own, waited for without polling (a pidfd of the server
// beside the query socket and the alarm in one ppoll), every child collected
// when it ends, the stop signals of a container's first process, and the key
// prompt.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/command_words.h"
#include "platform/platform.h"
#include "platform/posix/children.h"

extern char** environ;

namespace {

// The running server's process id, -1 while none runs. The stop handler
// reads it, hence the type.
volatile sig_atomic_t server_pid = -1;

// A descriptor that becomes readable when the server ends, opened by the
// first wait that watches more than the server; -1 before, and where the
// system has none (before Linux 5.3), where SIGCHLD wakes the wait instead.
int server_pidfd = -1;
bool pidfd_tried = false;

// Whether the server started last has ended and been collected, and how.
bool server_collected = true;
int server_status = 0;
server_end last_end = {};

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

// SIGCHLD only interrupts the waits; the children are collected after.
void note_child(int)
{
}

// SIGCHLD is caught, so that it interrupts a wait, and blocked outside the
// waits, so that one that comes just before a wait is not lost.
void watch_children()
{
    struct sigaction action = {};
    action.sa_handler = note_child;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, nullptr);
}

server_end end_of(int status)
{
    server_end end = {};
    if (WIFSIGNALED(status)) {
        end.by_signal = true;
        end.code = static_cast<unsigned long>(WTERMSIG(status));
    } else {
        end.code = static_cast<unsigned long>(WEXITSTATUS(status));
    }
    return end;
}

void release_server()
{
    if (server_pidfd >= 0) {
        close(server_pidfd);
        server_pidfd = -1;
    }
    pidfd_tried = false;
    last_end = end_of(server_status);
    server_pid = -1;
}

// Milliseconds from now to the monotonic `deadline_ms`, for ppoll.
timespec time_left(unsigned long long deadline_ms)
{
    const unsigned long long now = platform_monotonic_ms();
    const unsigned long long left = deadline_ms > now ? deadline_ms - now : 0;
    timespec span = {};
    span.tv_sec = static_cast<time_t>(left / 1000);
    span.tv_nsec = static_cast<long>(left % 1000) * 1000000L;
    return span;
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

bool watched_ready(const pollfd* watched, nfds_t count, int descriptor)
{
    for (nfds_t i = 0; i < count; ++i) {
        if (watched[i].fd == descriptor) {
            return watched[i].revents != 0;
        }
    }
    return false;
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
    // the server's end away before MOLV can wait for it; the handler
    // replaces that.
    watch_children();
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
        server_pid = pid;
        server_collected = false;
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

sigset_t waiting_signal_mask()
{
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    sigdelset(&mask, SIGCHLD);
    if (passing_stops) {
        for (int signal_number : stop_signals) {
            sigdelset(&mask, signal_number);
        }
    }
    return mask;
}

// Notes a child that has ended: the server's end is kept for the wait, an
// event program is forgotten, an orphan simply goes.
static void note_ended_child(pid_t ended, int status)
{
    if (ended == static_cast<pid_t>(server_pid) && !server_collected) {
        server_collected = true;
        server_status = status;
    } else {
        forget_event_program(ended);
    }
}

// Any child may end, not only the server: a container's first process
// inherits the server's orphans and must collect them too, and on_event
// programs are collected as they end.
void collect_children()
{
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended <= 0) {
            return;
        }
        note_ended_child(ended, status);
    }
}

unsigned long platform_server_id()
{
    return server_pid > 0 ? static_cast<unsigned long>(server_pid) : 0;
}

// The wait when nothing but the server is watched: one blocking waitpid,
// which also collects every other child as it ends, and which a stop signal
// interrupts after passing itself on.
static void wait_for_server_alone()
{
    while (!server_collected) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, 0);
        if (ended > 0) {
            note_ended_child(ended, status);
        } else if (errno != EINTR) {
            // No child at all: the server is gone without a status.
            server_collected = true;
            server_status = 0;
        }
    }
}

// The wait beside a socket, an alarm or a deadline: one ppoll on them and a
// pidfd of the server, which SIGCHLD interrupts where there is no pidfd.
static server_wake wait_for_server_beside_others(unsigned long long deadline_ms)
{
    if (!pidfd_tried) {
        pidfd_tried = true;
        server_pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(server_pid), 0));
    }
    // The stop signals are let in only inside the wait, so that one that
    // comes just before it still interrupts it.
    sigset_t previous_mask;
    if (passing_stops) {
        const sigset_t stops = stop_set();
        sigprocmask(SIG_BLOCK, &stops, &previous_mask);
    }
    const sigset_t waiting_mask = waiting_signal_mask();
    // What woke the wait besides the server; its end, looked for first at
    // every turn, is never taken for silence or an answer.
    bool woken = false;
    server_wake wake = server_wake::ended;
    for (;;) {
        collect_children();
        if (server_collected) {
            wake = server_wake::ended;
            break;
        }
        if (woken) {
            break;
        }
        pollfd watched[3];
        nfds_t count = 0;
        const int sources[3] = {server_pidfd, query_descriptor(), alarm_descriptor()};
        for (int source : sources) {
            if (source >= 0) {
                watched[count++] = {source, POLLIN, 0};
            }
        }
        timespec left = time_left(deadline_ms);
        const int ready = ppoll(watched, count, deadline_ms != 0 ? &left : nullptr, &waiting_mask);
        if (ready == 0) {
            woken = true;
            wake = server_wake::deadline;
        } else if (ready > 0 && watched_ready(watched, count, query_descriptor())) {
            woken = true;
            wake = server_wake::query_ready;
        } else if (ready > 0 && watched_ready(watched, count, alarm_descriptor()) && take_alarm()) {
            woken = true;
            wake = server_wake::alarm;
        }
        // Otherwise a signal or the pidfd: the children are looked at again.
    }
    if (passing_stops) {
        sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    }
    return wake;
}

server_wake platform_wait_server_until(unsigned long long deadline_ms)
{
    if (server_pid <= 0) {
        return server_wake::ended;
    }
    if (deadline_ms == 0 && query_descriptor() < 0 && alarm_descriptor() < 0) {
        wait_for_server_alone();
    } else {
        const server_wake wake = wait_for_server_beside_others(deadline_ms);
        if (wake != server_wake::ended) {
            return wake;
        }
    }
    release_server();
    collect_children();
    return server_wake::ended;
}

server_end platform_last_server_end()
{
    return last_end;
}

void platform_sleep_seconds(unsigned seconds)
{
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += static_cast<time_t>(seconds);

    // The stop signals are let in only inside the wait, so that one that
    // comes just before it still cuts the sleep short.
    // Event programs that end meanwhile are collected as they end.
    const sigset_t stops = stop_set();
    sigset_t previous_mask;
    sigprocmask(SIG_BLOCK, &stops, &previous_mask);
    sigset_t waiting_mask = previous_mask;
    sigdelset(&waiting_mask, SIGCHLD);
    while (stop_signal == 0) {
        collect_children();
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
    collect_children();
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
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
