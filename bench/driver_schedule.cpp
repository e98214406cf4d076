// The scheduled restart at rest: MOLV's cost while its restart time is far.
#include "driver.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <signal.h>
#include <unistd.h>

namespace bench {

// ------------------------------------------------------ scheduled restart

// MOLV with a restart time that does not come in the window, beside a
// long-running server: its alarm must keep it asleep.
bool run_schedule(const options& opt)
{
    // The local time an hour ago, as HH:MM: 23 hours ahead at the earliest.
    char restart_at[16] = "";
    const std::time_t hour_ago = std::time(nullptr) - 3600;
    std::tm local{};
    if (localtime_r(&hour_ago, &local) == nullptr ||
        std::strftime(restart_at, sizeof restart_at, "%H:%M", &local) == 0) {
        return false;
    }
    char folder[4096];
    char general[64];
    std::snprintf(general, sizeof general, "restart_at=%s\n", restart_at);
    if (!join(folder, sizeof folder, opt.work, "molv_schedule") ||
        !prepare_folder(opt, folder, true, pacing::immediate, general)) {
        std::fprintf(stderr, "bench: cannot prepare the scheduled restart case\n");
        return false;
    }
    launch what;
    what.kind = supervisor::molv;
    what.backups = true;
    what.folder = folder;
    pid_t pid = -1;
    long server = -1;
    const bool ready = start_long_running(opt, what, pid, server);
    snapshot before;
    snapshot after;
    if (ready) {
        std::fprintf(stderr, "  scheduled restart at %s, idle: %u seconds...\n", restart_at,
                     opt.schedule_seconds);
        kill(pid, SIGCONT);
        // Let it finish the line after the start and settle in the wait.
        sleep(1);
        before = take_snapshot(pid);
        sleep_seconds(opt.schedule_seconds);
        after = take_snapshot(pid);
    }
    end_long_running(pid, server);
    const unsigned long scheduled = count_containing(folder, "Scheduled restart: stopping");
    const unsigned long warnings = count_containing(folder, "WARNING");
    const unsigned long starts = read_stamps(folder).size();
    clean_folder(folder);
    if (!ready || before.cpu_ns < 0 || after.switches < 0) {
        std::fprintf(stderr, "bench: the scheduled restart case did not start\n");
        return false;
    }

    const std::int64_t cpu_ns = after.cpu_ns - before.cpu_ns;
    const long wakeups = after.switches - before.switches;
    std::printf("\nScheduled restart, idle: restart_at=%s (about 23 hours ahead), %u seconds "
                "while a long-running\n  server is up\n",
                restart_at, opt.schedule_seconds);
    std::printf("  %-12s %14s %28s %14s\n", "supervisor", "CPU time (ns)",
                "wake-ups (context switches)", "involuntary");
    std::printf("  %-12s %14" PRId64 " %28ld %14ld\n", "MOLV", cpu_ns, wakeups,
                after.involuntary - before.involuntary);
    std::printf("  Goal: at most 10 wake-ups: %s; CPU time under 10 ms: %s\n",
                wakeups <= 10 ? "met" : "MISSED", cpu_ns < 10000000 ? "met" : "MISSED");
    std::printf("  The server ran throughout: %s (%lu start, %lu scheduled restarts, %lu "
                "warnings)\n",
                starts == 1 && scheduled == 0 && warnings == 0 ? "yes" : "NO", starts, scheduled,
                warnings);
    if (opt.schedule_seconds != 600) {
        std::printf("  (the goal is set for 600 seconds)\n");
    }
    return true;
}

} // namespace bench
