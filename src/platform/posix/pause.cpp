// The key prompt after a failed start: the terminal without echo for one
// key, and given its settings back whatever ends the prompt.
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/signals.h"

namespace {

// Set while the key prompt is ended by a signal that the process survives.
volatile sig_atomic_t pause_interrupted = 0;

// The terminal settings in force before the key prompt.
termios terminal_before_pause;

// The signals that end the program at the key prompt and would leave the
// terminal without echo: the stop signals and Ctrl+\.
const int prompt_signals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
constexpr std::size_t prompt_signal_count = sizeof prompt_signals / sizeof prompt_signals[0];

sigset_t prompt_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : prompt_signals) {
        sigaddset(&set, signal_number);
    }
    return set;
}

// A signal at the key prompt: the terminal gets its settings back first,
// then the signal does what it would have done without the handler.
void end_pause(int signal_number)
{
    const int saved_errno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &terminal_before_pause);
    struct sigaction fallback = {};
    fallback.sa_handler =
        stops_passed_on() && signal_number != SIGQUIT ? pass_on_stop : SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    // Blocked until this handler returns; then it ends the process, except
    // as PID 1, where it is passed on as a stop request.
    raise(signal_number);
    pause_interrupted = 1;
    errno = saved_errno;
}

} // namespace

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
        action.sa_mask = prompt_set();
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
    // The stop signals of a container's first process come in only inside
    // ppoll, which waits for the key.
    const sigset_t waiting_mask = waiting_signal_mask();
    char key;
    for (;;) {
        if (signals_held()) {
            pollfd input = {STDIN_FILENO, POLLIN, 0};
            if (ppoll(&input, 1, nullptr, &waiting_mask) < 0) {
                if (errno == EINTR && !platform_stop_requested() && pause_interrupted == 0) {
                    continue;
                }
                break;
            }
        }
        if (read(STDIN_FILENO, &key, 1) >= 0 || errno != EINTR || platform_stop_requested() ||
            pause_interrupted != 0) {
            break;
        }
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
