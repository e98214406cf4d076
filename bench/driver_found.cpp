// A server found again: how soon MOLV, started beside a server that a killed
// MOLV left running, says "watching it", against how soon it says
// "Gameserver is now running." for a launch of its own. Both count from
// the fork of MOLV, and both lines come after the same banner and settings.
#include "driver.h"

#include <cstdio>
#include <ctime>
#include <signal.h>
#include <unistd.h>

namespace bench {
namespace {

double now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1.0e6;
}

// Starts MOLV and returns the milliseconds until its transcript holds
// `line`, or -1 when it did not come within 30 seconds.
double time_to_line(const options& opt, const launch& what, const char* line, pid_t& pid)
{
    const double started = now_ms();
    pid = start_supervisor(opt, what);
    if (pid < 0) {
        return -1.0;
    }
    while (count_containing(what.folder, line) == 0) {
        if (now_ms() - started > 30000.0) {
            return -1.0;
        }
        usleep(200);
    }
    return now_ms() - started;
}

} // namespace

bool run_found(const options& opt)
{
    char folder[4096];
    if (!join(folder, sizeof folder, opt.work, "molv_found") ||
        !prepare_folder(opt, folder, false)) {
        std::fprintf(stderr, "bench: cannot prepare the found-again case\n");
        return false;
    }
    const unsigned rounds = 5;
    std::fprintf(stderr, "  found again: %u rounds...\n", rounds);
    std::vector<double> launched;
    std::vector<double> found;
    bool ok = true;
    for (unsigned round = 0; round < rounds && ok; ++round) {
        clean_folder(folder);
        launch what;
        what.folder = folder;
        what.backups = false;
        what.idle = true;
        what.outlive = true;
        pid_t pid = -1;
        const double launch_ms = time_to_line(opt, what, "Gameserver is now running.", pid);
        long server = -1;
        for (int tries = 0; tries < 3000 && server <= 0; ++tries) {
            server = read_pid_file(folder);
            usleep(1000);
        }
        if (pid > 0) {
            kill_and_reap(pid);
        }
        if (server > 0) {
            track(static_cast<pid_t>(server));
        }
        // The server runs on; the next MOLV finds it.
        const double found_ms =
            launch_ms < 0.0 || server <= 0 ? -1.0 : time_to_line(opt, what, "watching it.", pid);
        end_long_running(pid, server);
        ok = launch_ms >= 0.0 && found_ms >= 0.0;
        launched.push_back(launch_ms);
        found.push_back(found_ms);
    }
    if (!ok) {
        std::fprintf(stderr, "bench: the found-again case did not come to its line\n");
        return false;
    }
    const spread launch_spread = spread_of(launched);
    const spread found_spread = spread_of(found);
    std::printf("\nServer found again: MOLV started beside a server that a killed MOLV left "
                "running (%u rounds)\n",
                rounds);
    std::printf("  %-48s %10s %10s %10s\n", "figure", "median", "min", "max");
    std::printf("  %-48s %10.2f %10.2f %10.2f\n", "start to \"watching it\" (ms)", found_spread.mid,
                found_spread.low, found_spread.high);
    std::printf("  %-48s %10.2f %10.2f %10.2f\n", "start to \"Gameserver is now running\" (ms)",
                launch_spread.mid, launch_spread.low, launch_spread.high);
    return true;
}

} // namespace bench
