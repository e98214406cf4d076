// The hang watchdog: how soon a hung server runs again, and what the
// queries cost beside a server that answers them.
#include "driver.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <signal.h>
#include <unistd.h>
#include <vector>

namespace bench {

// ------------------------------------------------------- hang watchdog

namespace {

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// MOLV's seconds between two queries, as it derives them from hang_timeout.
unsigned query_interval(unsigned hang_timeout)
{
    return std::min(std::max(hang_timeout / 4, 1U), 15U);
}

} // namespace

// A server that answers for a while, then hangs and ignores SIGTERM: the
// time from its silence (and from its last answer) to the next start.
bool run_hang(const options& opt)
{
    const unsigned hang_timeout = opt.quick ? 2 : 10;
    const unsigned stop_timeout = opt.quick ? 1 : 2;
    const unsigned long answer_ms = opt.quick ? 1500 : 3000;
    const unsigned interval = query_interval(hang_timeout);
    char folder[4096];
    const unsigned port = free_udp_port();
    char general[128];
    std::snprintf(general, sizeof general, "query_port=%u\nhang_timeout=%u\nstop_timeout=%u\n",
                  port, hang_timeout, stop_timeout);
    if (port == 0 || !join(folder, sizeof folder, opt.work, "molv_hang") ||
        !prepare_folder(opt, folder, true, pacing::immediate, general)) {
        std::fprintf(stderr, "bench: cannot prepare the hang case\n");
        return false;
    }
    launch what;
    what.kind = supervisor::molv;
    what.backups = true;
    what.folder = folder;
    what.idle = true;
    what.query_port = port;
    what.answer_ms = answer_ms;
    // The instance after the last hang stops MOLV as it starts.
    std::snprintf(what.stop_at, sizeof what.stop_at, "%u", opt.hangs + 1);
    const unsigned cycle = static_cast<unsigned>(answer_ms / 1000) + hang_timeout + stop_timeout;
    std::fprintf(stderr, "  hang: %u hung servers, about %u seconds...\n", opt.hangs,
                 opt.hangs * cycle);
    pid_t pid = start_supervisor(opt, what);
    if (pid < 0) {
        return false;
    }
    const bool stopped =
        wait_for_stop(pid, (opt.hangs + 1) * (cycle + 10) + 30) == wait_outcome::stopped;
    const long server = read_pid_file(folder);
    if (server > 0) {
        track(static_cast<pid_t>(server));
    }
    const std::vector<stamp> starts = read_stamps(folder);
    const std::vector<stamp> silences = read_stamps(folder, "silence.bin");
    end_long_running(pid, server);
    const unsigned long warned = count_containing(folder, "  WARNING: Gameserver has not answered for");
    const unsigned long forced = count_containing(folder, "  WARNING: Gameserver did not stop within");
    const unsigned long ended = count_containing(folder, "  > Gameserver stopped.");
    const unsigned long restarts = count_containing(folder, "  > Restarting...");
    const unsigned long backed_up = count_containing(folder, "  > Backing up the log...");
    const unsigned long warnings = count_containing(folder, "WARNING");
    if (!stopped || starts.size() < opt.hangs + 1 || silences.size() < opt.hangs) {
        std::fprintf(stderr,
                     "bench: MOLV did not restart %u hung servers (%zu starts; see %s/out.txt)\n",
                     opt.hangs, starts.size(), folder);
        return false;
    }
    std::vector<double> from_silence;
    std::vector<double> from_answer;
    for (unsigned k = 0; k < opt.hangs; ++k) {
        from_silence.push_back(static_cast<double>(starts[k + 1].start - silences[k].start) / 1e9);
        if (silences[k].end != 0) {
            from_answer.push_back(static_cast<double>(starts[k + 1].start - silences[k].end) / 1e9);
        }
    }
    clean_folder(folder);

    const spread silence = spread_of(from_silence);
    const spread answer = spread_of(from_answer);
    const unsigned goal = hang_timeout + interval + stop_timeout + 1;
    std::printf("\nHang to next start: hang_timeout=%u (a query every %u s), stop_timeout=%u, "
                "%u hangs\n",
                hang_timeout, interval, stop_timeout, opt.hangs);
    std::printf("  (the server answers for %.1f s, then falls silent, stays up and ignores "
                "SIGTERM; from that moment,\n   and from its last answer, to the start of the "
                "next instance, on CLOCK_MONOTONIC)\n",
                static_cast<double>(answer_ms) / 1000.0);
    std::printf("  %-34s %10s %10s %10s   %s\n", "figure", "median", "min", "max", "goal");
    const bool met = silence.high <= static_cast<double>(goal);
    std::printf("  %-34s %10.3f %10.3f %10.3f   max <= %u  %s\n", "silence to next start (s)",
                silence.mid, silence.low, silence.high, goal, met ? "met" : "MISSED");
    std::printf("  %-34s %10.3f %10.3f %10.3f\n", "last answer to next start (s)", answer.mid,
                answer.low, answer.high);
    const bool all = warned == opt.hangs && forced == opt.hangs && ended == opt.hangs &&
                     restarts == opt.hangs && backed_up == opt.hangs &&
                     warnings == warned + forced && from_answer.size() == opt.hangs;
    std::printf("  Every hang was stopped by force, backed up and restarted: %s (%lu hang "
                "warnings, %lu forced,\n   %lu stopped, %lu backups, %lu restarts, %lu other "
                "warnings)\n",
                all ? "yes" : "NO", warned, forced, ended, backed_up, restarts,
                warnings - std::min(warnings, warned + forced));
    if (opt.quick) {
        std::printf("  (quick mode: shorter timeouts than the goal is set for)\n");
    }
    return true;
}

// MOLV beside a server that answers every query: the cost of the queries.
bool run_watchdog_idle(const options& opt)
{
    const unsigned hang_timeout = opt.quick ? 8 : 60;
    const unsigned interval = query_interval(hang_timeout);
    char folder[4096];
    const unsigned port = free_udp_port();
    char general[128];
    std::snprintf(general, sizeof general, "query_port=%u\nhang_timeout=%u\n", port,
                  hang_timeout);
    if (port == 0 || !join(folder, sizeof folder, opt.work, "molv_watchdog_idle") ||
        !prepare_folder(opt, folder, true, pacing::immediate, general)) {
        std::fprintf(stderr, "bench: cannot prepare the watchdog case\n");
        return false;
    }
    launch what;
    what.kind = supervisor::molv;
    what.backups = true;
    what.folder = folder;
    what.query_port = port;
    what.record_answers = true;
    pid_t pid = -1;
    long server = -1;
    const bool ready = start_long_running(opt, what, pid, server);
    snapshot before;
    snapshot after;
    std::int64_t window[2] = {0, 0};
    if (ready) {
        std::fprintf(stderr, "  watchdog beside a healthy server: %u seconds...\n",
                     opt.watchdog_seconds);
        kill(pid, SIGCONT);
        // Past the start and the first query.
        sleep(1);
        window[0] = monotonic_ns();
        before = take_snapshot(pid);
        sleep_seconds(opt.watchdog_seconds);
        after = take_snapshot(pid);
        window[1] = monotonic_ns();
    }
    end_long_running(pid, server);
    unsigned long answered = 0;
    char path[4096];
    if (FILE* file = join(path, sizeof path, folder, "answers.bin") ? std::fopen(path, "rb")
                                                                     : nullptr) {
        std::int64_t at = 0;
        while (std::fread(&at, sizeof at, 1, file) == 1) {
            answered += at >= window[0] && at <= window[1] ? 1 : 0;
        }
        std::fclose(file);
    }
    const unsigned long warnings = count_containing(folder, "WARNING");
    const unsigned long starts = read_stamps(folder).size();
    clean_folder(folder);
    if (!ready || before.cpu_ns < 0 || after.switches < 0) {
        std::fprintf(stderr, "bench: the watchdog case did not start\n");
        return false;
    }

    const std::int64_t cpu_ns = after.cpu_ns - before.cpu_ns;
    // A wake-up is a sleep that ends: a voluntary switch. The involuntary
    // ones (MOLV's core taken while it runs) are shown beside them.
    const long involuntary = after.involuntary - before.involuntary;
    const long wakeups = after.switches - before.switches - involuntary;
    const unsigned intervals = (opt.watchdog_seconds + interval - 1) / interval;
    const long wake_limit = 2L * intervals;
    const std::int64_t cpu_limit_ns = 10000000LL * opt.watchdog_seconds / 60;
    std::printf("\nWatchdog beside a healthy server: hang_timeout=%u (a query every %u s), %u "
                "seconds\n",
                hang_timeout, interval, opt.watchdog_seconds);
    std::printf("  %-12s %14s %28s %14s %18s\n", "supervisor", "CPU time (ns)",
                "wake-ups (voluntary switches)", "involuntary", "queries answered");
    std::printf("  %-12s %14" PRId64 " %28ld %14ld %18lu\n", "MOLV", cpu_ns, wakeups,
                involuntary, answered);
    std::printf("  Goal: at most %ld wake-ups (2 per query interval): %s; CPU time under %.2f ms: "
                "%s\n",
                wake_limit, wakeups <= wake_limit ? "met" : "MISSED",
                static_cast<double>(cpu_limit_ns) / 1e6, cpu_ns < cpu_limit_ns ? "met" : "MISSED");
    std::printf("  The server ran throughout, unwarned: %s (%lu start, %lu warnings)\n",
                starts == 1 && warnings == 0 ? "yes" : "NO", starts, warnings);
    if (opt.watchdog_seconds != 60 || hang_timeout != 60) {
        std::printf("  (the goal is set for 60 seconds with hang_timeout=60; here scaled)\n");
    }
    return true;
}

} // namespace bench
