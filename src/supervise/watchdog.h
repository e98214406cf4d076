// The hang watchdog's decisions: when to query the server, when it counts as
// hung, and when to say that it has not answered yet. A pure function of the
// times and answers it is given; the cycle supplies the clock and the socket.
#pragma once

// Seconds between two status queries: a quarter of hang_timeout, at least 1
// and at most 15.
unsigned query_interval_seconds(unsigned hang_timeout_seconds);

// After this long without a first answer, the operator is told once that
// hang detection has not started.
constexpr unsigned long long first_answer_warning_ms = 300000;

// What the watchdog knows of one server instance; times in monotonic
// milliseconds.
struct watchdog {
    unsigned long long launched_ms;
    unsigned long long interval_ms;
    unsigned long long timeout_ms;
    unsigned long long next_query_ms;
    // The last answer, or the moment MOLV came back from an absence of its
    // own, whichever is later: the silence is counted from here.
    unsigned long long last_answer_ms;
    unsigned long long meant_wake_ms; // when the last look asked to be woken
    bool armed;  // the instance has answered at least once
    bool warned; // the "no answer yet" warning has been given
};

// What the cycle is to do after a look at the watchdog.
struct watchdog_step {
    bool send_query;
    bool warn_no_answer;
    bool hung;
    unsigned long long wake_at_ms; // the next time to look again
};

// The watchdog of an instance launched at `launched_ms`.
watchdog watchdog_start(unsigned long long launched_ms, unsigned hang_timeout_seconds);

// Notes an answer that came at `now_ms`: the first arms the watchdog.
void watchdog_answer(watchdog& dog, unsigned long long now_ms);

// Decides at `now_ms` whether a query is due (the next one is then counted
// from now), whether the silence of an armed watchdog has lasted
// hang_timeout, and whether the warning about a first answer is due.
// `answered`: an answer was read just now, every waiting one having been
// read before this look. A look that comes more than one query interval
// after the wake the last look asked for means that MOLV itself was away
// (stopped, suspended, blocked): its queries were not sent, so the silence
// is counted again from now, and a query goes out at once.
watchdog_step watchdog_look(watchdog& dog, unsigned long long now_ms, bool answered);
