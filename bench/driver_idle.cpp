// Idle: MOLV and the reference beside a server that does not end, and MOLV
// with a status file set, which it writes on a change and never on a timer.
#include "driver.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <signal.h>
#include <unistd.h>

namespace bench {

// ------------------------------------------------------------------ idle

namespace {

// The supervisors of the idle case: MOLV, the reference, and MOLV with a
// status file.
constexpr int idle_cases = 3;
constexpr int status_case = 2;

} // namespace

bool run_idle(const options& opt)
{
    char folders[idle_cases][4096];
    if (!join(folders[0], sizeof folders[0], opt.work, "molv_idle") ||
        !join(folders[1], sizeof folders[1], opt.work, "reference_idle") ||
        !join(folders[status_case], sizeof folders[status_case], opt.work, "molv_idle_status")) {
        return false;
    }
    // The loops sit beside each other: none does anything while idle.
    pid_t pids[idle_cases] = {-1, -1, -1};
    long servers[idle_cases] = {-1, -1, -1};
    bool ready = true;
    for (int i = 0; i < idle_cases && ready; ++i) {
        launch what;
        what.kind = i == 1 ? supervisor::reference : supervisor::molv;
        what.backups = true;
        what.folder = folders[i];
        what.idle = true;
        std::snprintf(what.stop_at, sizeof what.stop_at, "1");
        ready = prepare_folder(opt, folders[i], true, pacing::immediate,
                               i == status_case ? status_setting : "");
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
    snapshot before[idle_cases];
    snapshot after[idle_cases];
    long long launches = -1;
    long long up = -1;
    if (ready) {
        std::fprintf(stderr, "  idle: %u seconds...\n", opt.idle_seconds);
        for (pid_t pid : pids) {
            kill(pid, SIGCONT);
        }
        // Let them finish the line after the start and settle in the wait.
        sleep(1);
        for (int i = 0; i < idle_cases; ++i) {
            before[i] = take_snapshot(pids[i]);
        }
        unsigned left = opt.idle_seconds;
        while (left > 0) {
            left = sleep(left);
        }
        for (int i = 0; i < idle_cases; ++i) {
            after[i] = take_snapshot(pids[i]);
        }
        // What the status file says of the running server: written once it
        // started, before the wait.
        launches = read_status_value(folders[status_case], "molv_server_launches_total");
        up = read_status_value(folders[status_case], "molv_server_up");
    }
    for (int i = 0; i < idle_cases; ++i) {
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
    const unsigned long warnings = count_containing(folders[status_case], "WARNING");
    for (const char* folder : folders) {
        clean_folder(folder);
    }
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

    const std::int64_t status_cpu_ns = after[status_case].cpu_ns - before[status_case].cpu_ns;
    const long status_wakeups = after[status_case].switches - before[status_case].switches;
    std::printf("  %-12s %14" PRId64 " %28ld   (MOLV with status_file=%s)\n", "status file",
                status_cpu_ns, status_wakeups, status_name);
    std::printf("  Goal: status file set, zero and zero: %s\n",
                status_cpu_ns == 0 && status_wakeups == 0 ? "met" : "MISSED");
    const bool written = launches == 1 && up == 1 && warnings == 0;
    std::printf("  The status file showed the running server: %s (%lld launches, up %lld, %lu "
                "warnings)\n",
                written ? "yes" : "NO", launches, up, warnings);
    return written;
}

} // namespace bench
