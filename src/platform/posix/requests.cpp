// Requests to a running MOLV by signal. The system lets only the same user
// or root send one, and a closed terminal or a service manager never sends
// SIGUSR1 or SIGUSR2. Like the stop signals, they are blocked outside the
// waits, so that one that comes just before a wait is seen by it.
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/platform.h"
#include "platform/request_bits.h"
#include "platform/posix/identity.h"
#include "platform/posix/requests.h"
#include "platform/posix/signals.h"

namespace {

constexpr int restart_signal = SIGUSR1;
constexpr int stop_signal_of_request = SIGUSR2;

// The requests that came and were not taken (request_bits.h); and those a
// wait has told of.
volatile sig_atomic_t waiting = 0;
int told = 0;

// The signal that asked MOLV to leave, 0 while none.
volatile sig_atomic_t leave_signal = 0;

void note_request(int signal_number)
{
    waiting = waiting | static_cast<int>(signal_number == restart_signal ? restart_request_bit
                                                                          : stop_request_bit);
}

void note_leave(int signal_number)
{
    if (leave_signal == 0) {
        leave_signal = signal_number;
    }
    waiting = waiting | static_cast<int>(leave_request_bit);
}

} // namespace

bool platform_accept_requests(char*, std::size_t)
{
    catch_in_waits(restart_signal, note_request);
    catch_in_waits(stop_signal_of_request, note_request);
    // As a container's first process the stop signals are passed on to the
    // server instead.
    if (!stops_passed_on()) {
        for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
            catch_in_waits(signal_number, note_leave);
        }
    }
    return true;
}

bool request_to_tell()
{
    const int now = waiting;
    const bool news = (now & ~told) != 0;
    told = now;
    return news;
}

bool request_waiting()
{
    return waiting != 0;
}

molv_request platform_take_request()
{
    // The signals are blocked here, outside the waits: nothing changes the
    // bits meanwhile.
    const int now = waiting;
    waiting = 0;
    told = 0;
    return most_urgent_request(static_cast<unsigned>(now));
}

void platform_end_as_asked()
{
    if (leave_signal == 0) {
        return;
    }
    const int signal_number = leave_signal;
    signal(signal_number, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal_number);
}

request_sent platform_send_request(unsigned long molv, const char* identity, molv_request request,
                                   char* reason, std::size_t reason_capacity)
{
    if (!identity_runs(molv, identity)) {
        return request_sent::not_running;
    }
    const int signal_number = request == molv_request::restart ? restart_signal
                                                               : stop_signal_of_request;
    if (kill(static_cast<pid_t>(molv), signal_number) == 0) {
        return request_sent::sent;
    }
    if (errno == ESRCH) {
        return request_sent::not_running;
    }
    copy_text(reason, reason_capacity, std::strerror(errno));
    return request_sent::refused;
}

bool platform_wait_recorded_end(unsigned long id, const char* identity,
                                unsigned long long deadline_ms)
{
    // The pidfd first: the identity checked after it is that of the process
    // it watches.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(id), 0));
    bool ended = false;
    for (;;) {
        ended = !identity_runs(id, identity);
        const unsigned long long now = platform_monotonic_ms();
        if (ended || now >= deadline_ms) {
            break;
        }
        // Without a pidfd, the process is looked at ten times a second.
        const unsigned long long left = deadline_ms - now;
        const int span = pidfd >= 0 ? static_cast<int>(left < 60000 ? left : 60000)
                                    : static_cast<int>(left < 100 ? left : 100);
        if (pidfd >= 0) {
            pollfd watched = {pidfd, POLLIN, 0};
            poll(&watched, 1, span);
        } else {
            poll(nullptr, 0, span);
        }
    }
    if (pidfd >= 0) {
        close(pidfd);
    }
    return ended;
}
