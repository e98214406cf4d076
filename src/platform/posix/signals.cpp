// The signals of the process: SIGCHLD, caught only so that it interrupts the
// waits, and the stop signals of a container's first process, passed on to
// the server's session.
#include <cerrno>
#include <signal.h>
#include <sys/types.h>

#include "platform/platform.h"
#include "platform/posix/children.h"
#include "platform/posix/session.h"
#include "platform/posix/signals.h"

namespace {

// The stop signal received as a container's first process, 0 while none.
volatile sig_atomic_t stop_signal = 0;

// Whether the server's process group got a stop signal already; it gets
// one at most, as a second could cut short a program's own closing.
volatile sig_atomic_t group_asked = 0;

// Whether the stop signals are caught and passed on (only as PID 1).
bool passing_stops = false;

// Whether signals besides SIGCHLD come in only inside the waits.
bool holding = false;

// The mask the waits sleep with: the process's own, less SIGCHLD and the
// stop signals that are passed on; kept as the mask changes, so that no
// wait has to ask for it.
sigset_t wait_mask;

// The signals that stop a container: SIGTERM from the container's manager,
// SIGINT from a Ctrl+C on an attached terminal, SIGHUP from a closed one.
const int stop_signals[] = {SIGTERM, SIGINT, SIGHUP};

// SIGCHLD only interrupts the waits; the children are collected after.
void note_child(int)
{
}

} // namespace

sigset_t stop_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : stop_signals) {
        sigaddset(&set, signal_number);
    }
    return set;
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
    sigprocmask(SIG_BLOCK, &child, &wait_mask);
    sigdelset(&wait_mask, SIGCHLD);
}

// PID 1 gets no signal it has no handler for, so a container could not be
// stopped short of killing it. The signal goes to the server's session and
// MOLV ends once the server's end has been handled.
void pass_on_stop(int signal_number)
{
    const int saved_errno = errno;
    stop_signal = signal_number;
    const pid_t server = running_server();
    if (server > 0) {
        // The server itself where its session is not made yet.
        if (kill(-server, signal_number) != 0) {
            kill(server, signal_number);
        }
        note_group_asked();
    }
    errno = saved_errno;
}

void catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = pass_on_stop;
    action.sa_mask = stop_set();
    // No SA_RESTART: the wait and the key prompt see the stop at once.
    action.sa_flags = 0;
    // Blocked outside the waits, each of which lets them in together with
    // its sleep: one that comes just before a wait is then seen by it.
    const sigset_t stops = stop_set();
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    for (int signal_number : stop_signals) {
        sigaction(signal_number, &action, nullptr);
        sigdelset(&wait_mask, signal_number);
    }
    passing_stops = true;
    holding = true;
}

bool stops_passed_on()
{
    return passing_stops;
}

void catch_in_waits(int signal_number, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    sigprocmask(SIG_BLOCK, &one, nullptr);
    sigaction(signal_number, &action, nullptr);
    sigdelset(&wait_mask, signal_number);
    holding = true;
}

bool signals_held()
{
    return holding;
}

int received_stop_signal()
{
    return stop_signal;
}

bool platform_stop_requested()
{
    return stop_signal != 0;
}

sigset_t waiting_signal_mask()
{
    return wait_mask;
}

void note_group_asked()
{
    group_asked = 1;
}

bool group_was_asked()
{
    return group_asked != 0;
}

void forget_group_asked()
{
    group_asked = 0;
}
