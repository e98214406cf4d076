// The waits of the process, none of them polling: for the server alone one
// blocking waitpid; beside the query socket and the alarm one ppoll on them
// and a pidfd of the server; and the pause between starts. Every child that
// ends meanwhile is collected.
#include <cerrno>
#include <ctime>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/children.h"
#include "platform/posix/requests.h"
#include "platform/posix/signals.h"
#include "platform/posix/waitables.h"

namespace {

// A descriptor that becomes readable when the server ends, opened by the
// first wait that watches more than the server; -1 before, and where the
// system has none (before Linux 5.3), where SIGCHLD wakes the wait instead.
int server_pidfd = -1;
bool pidfd_tried = false;

// Whether a wait has told of the stop asked for; it does so once.
bool stop_told = false;

bool stop_to_tell()
{
    if (stop_told || !platform_stop_requested()) {
        return false;
    }
    stop_told = true;
    return true;
}

// What ends a wait early besides the server's end: a stop passed on, or a
// request; each is told once.
server_wake early_wake()
{
    if (stop_to_tell()) {
        return server_wake::stop_asked;
    }
    return request_to_tell() ? server_wake::asked : server_wake::ended;
}

void close_server_pidfd()
{
    if (server_pidfd >= 0) {
        close(server_pidfd);
        server_pidfd = -1;
    }
    pidfd_tried = false;
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

bool watched_ready(const pollfd* watched, nfds_t count, int descriptor)
{
    for (nfds_t i = 0; i < count; ++i) {
        if (watched[i].fd == descriptor) {
            return watched[i].revents != 0;
        }
    }
    return false;
}

// Whether the found server has ended: its pidfd is readable, or without
// one, its id is gone.
bool found_server_gone()
{
    if (server_pidfd >= 0) {
        pollfd watched = {server_pidfd, POLLIN, 0};
        return poll(&watched, 1, 0) > 0;
    }
    return kill(running_server(), 0) != 0 && errno == ESRCH;
}

bool before(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The wait when nothing but the server is watched: one blocking waitpid,
// which also collects every other child as it ends; where signals come in
// only inside the waits, ppoll. Returns `ended`, or what else ended it.
server_wake wait_for_server_alone()
{
    const sigset_t waiting_mask = waiting_signal_mask();
    while (!server_collected()) {
        const server_wake early = early_wake();
        if (early != server_wake::ended) {
            return early;
        }
        if (signals_held()) {
            // The signals come in only inside ppoll, together with its
            // sleep; SIGCHLD wakes it for the children.
            collect_children();
            if (!server_collected() && !platform_stop_requested()) {
                ppoll(nullptr, 0, nullptr, &waiting_mask);
            }
            continue;
        }
        int status = 0;
        const pid_t ended = waitpid(-1, &status, 0);
        if (ended > 0) {
            note_ended_child(ended, status);
        } else if (errno != EINTR) {
            // No child at all: the server is gone without a status.
            note_server_vanished();
        }
    }
    return server_wake::ended;
}

// The wait beside a socket, an alarm or a deadline: one ppoll on them and a
// pidfd of the server, which SIGCHLD interrupts where there is no pidfd.
server_wake wait_for_server_beside_others(unsigned long long deadline_ms)
{
    if (!pidfd_tried) {
        pidfd_tried = true;
        server_pidfd = server_is_found() ? take_found_pidfd()
                                         : static_cast<int>(syscall(SYS_pidfd_open, running_server(), 0));
    }
    // The stop signals are let in only inside ppoll, so that one that comes
    // just before it still interrupts it.
    const sigset_t waiting_mask = waiting_signal_mask();
    // What woke the wait besides the server; its end, looked for first at
    // every turn, is never taken for silence or an answer.
    bool woken = false;
    server_wake wake = server_wake::ended;
    for (;;) {
        collect_children();
        if (server_is_found() && found_server_gone()) {
            note_found_server_ended();
        }
        if (server_collected()) {
            wake = server_wake::ended;
            break;
        }
        if (woken) {
            break;
        }
        const server_wake early = early_wake();
        if (early != server_wake::ended) {
            wake = early;
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
        const bool looking = server_is_found() && server_pidfd < 0 &&
                             (deadline_ms == 0 || left.tv_sec > 0);
        if (looking) {
            // A found server without a pidfd is looked at once a second.
            left = {1, 0};
        }
        const int ready = ppoll(watched, count, deadline_ms != 0 || looking ? &left : nullptr,
                                &waiting_mask);
        if (ready == 0 && looking) {
            continue;
        }
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
    return wake;
}

} // namespace

server_wake platform_wait_server_until(unsigned long long deadline_ms)
{
    if (running_server() <= 0) {
        return server_wake::ended;
    }
    if (deadline_ms == 0 && query_descriptor() < 0 && alarm_descriptor() < 0 &&
        !server_is_found()) {
        const server_wake wake = wait_for_server_alone();
        if (wake != server_wake::ended) {
            return wake;
        }
    } else {
        const server_wake wake = wait_for_server_beside_others(deadline_ms);
        if (wake != server_wake::ended) {
            return wake;
        }
    }
    close_server_pidfd();
    release_server();
    // Other children that ended are collected by the next look at what the
    // server left.
    return server_wake::ended;
}

void platform_sleep_seconds(unsigned seconds)
{
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += static_cast<time_t>(seconds);

    // The stop signals come in only inside ppoll, so that one that comes
    // just before it still cuts the sleep short. Event programs that end
    // meanwhile are collected as they end.
    const sigset_t waiting_mask = waiting_signal_mask();
    while (!platform_stop_requested() && !request_waiting()) {
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
}

void platform_abandon_server()
{
    close_server_pidfd();
    forget_server();
}
