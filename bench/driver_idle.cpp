// Idle: MOLV and the reference beside a server that does not end.
#include "driver.h"

#include <cinttypes>
#include <cstdio>
#include <signal.h>
#include <unistd.h>

namespace bench {

// ------------------------------------------------------------------ idle

bool run_idle(const options& opt)
{
    char folders[2][4096];
    if (!join(folders[0], sizeof folders[0], opt.work, "molv_idle") ||
        !join(folders[1], sizeof folders[1], opt.work, "reference_idle")) {
        return false;
    }
    // Both loops sit beside each other: neither does anything while idle.
    pid_t pids[2] = {-1, -1};
    long servers[2] = {-1, -1};
    bool ready = true;
    for (int i = 0; i < 2 && ready; ++i) {
        launch what;
        what.kind = i == 0 ? supervisor::molv : supervisor::reference;
        what.backups = true;
        what.folder = folders[i];
        what.idle = true;
        std::snprintf(what.stop_at, sizeof what.stop_at, "1");
        ready = prepare_folder(opt, folders[i], true);
        if (ready) {
            pids[i] = start_supervisor(opt, what);
            ready = pids[i] > 0 && wait_for_stop(pids[i], 60) == wait_outcome::stopped;
        }
        if (ready) {
            // The server wrote its process id before it stopped the supervisor.
            servers[i] = read_pid_file(folders[i]);
            if (servers[i] > 0) {
                track(static_cast<pid_t>(servers[i]));
            }
        }
    }
    snapshot before[2];
    snapshot after[2];
    if (ready) {
        std::fprintf(stderr, "  idle: %u seconds...\n", opt.idle_seconds);
        kill(pids[0], SIGCONT);
        kill(pids[1], SIGCONT);
        // Let both finish the line after the start and settle in the wait.
        sleep(1);
        before[0] = take_snapshot(pids[0]);
        before[1] = take_snapshot(pids[1]);
        unsigned left = opt.idle_seconds;
        while (left > 0) {
            left = sleep(left);
        }
        after[0] = take_snapshot(pids[0]);
        after[1] = take_snapshot(pids[1]);
    }
    for (int i = 0; i < 2; ++i) {
        if (pids[i] > 0) {
            kill_and_reap(pids[i]);
        }
    }
    // The servers are in sessions of their own and now orphans of the driver
    // (they also end by themselves when their supervisor ends).
    for (long server : servers) {
        if (server > 0) {
            kill(static_cast<pid_t>(server), SIGKILL);
            untrack(static_cast<pid_t>(server));
        }
    }
    reap_orphans();
    clean_folder(folders[0]);
    clean_folder(folders[1]);
    if (!ready) {
        std::fprintf(stderr, "bench: the idle case did not start\n");
        return false;
    }

    std::printf("\nIdle: %u seconds while a long-running server is up\n", opt.idle_seconds);
    std::printf("  %-12s %14s %28s\n", "supervisor", "CPU time (ns)",
                "wake-ups (context switches)");
    const char* names[2] = {"MOLV", "reference"};
    for (int i = 0; i < 2; ++i) {
        std::printf("  %-12s %14" PRId64 " %28ld\n", names[i], after[i].cpu_ns - before[i].cpu_ns,
                    after[i].switches - before[i].switches);
    }
    bool met = after[0].cpu_ns == before[0].cpu_ns && after[0].switches == before[0].switches;
    std::printf("  Goal: MOLV zero and zero: %s\n", met ? "met" : "MISSED");
    return true;
}

} // namespace bench
