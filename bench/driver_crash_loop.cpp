// The crash loop: MOLV with default settings and a server that ends at once.
#include "driver.h"

#include <cstdio>
#include <cstring>
#include <signal.h>

namespace bench {

// ------------------------------------------------------------ crash loop

namespace {

// The pauses MOLV announced, in order, as one text: "1,2,4,...".
void retry_delays(const char* folder, char* out, std::size_t capacity)
{
    out[0] = '\0';
    char path[4096];
    FILE* file = join(path, sizeof path, folder, "out.txt") ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) {
        return;
    }
    char line[512];
    std::size_t used = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned seconds = 0;
        const char* at = std::strstr(line, "  > Retrying in ");
        if (at != nullptr && std::sscanf(at, "  > Retrying in %u second", &seconds) == 1) {
            int wrote = std::snprintf(out + used, capacity - used, used == 0 ? "%u" : ",%u",
                                      seconds);
            if (wrote < 0 || static_cast<std::size_t>(wrote) >= capacity - used) {
                break;
            }
            used += static_cast<std::size_t>(wrote);
        }
    }
    std::fclose(file);
}

} // namespace

bool run_crash_loop(const options& opt)
{
    char folder[4096];
    if (!join(folder, sizeof folder, opt.work, "molv_crash_loop") ||
        !prepare_folder(opt, folder, true, pacing::default_settings)) {
        return false;
    }
    launch what;
    what.kind = supervisor::molv;
    what.backups = true;
    what.folder = folder;
    std::fprintf(stderr, "  crash loop: %u seconds...\n", opt.crash_seconds);
    pid_t pid = start_supervisor(opt, what);
    if (pid < 0) {
        return false;
    }
    unsigned left = opt.crash_seconds;
    while (left > 0) {
        left = sleep(left);
    }
    const snapshot shot = take_snapshot(pid);
    // Stopped first, so that no launch comes between the counts below.
    kill(pid, SIGSTOP);
    const unsigned long launches = read_stamps(folder).size();
    const unsigned long backups = count_backups(folder);
    const line_counts lines = count_lines(folder);
    char delays[256];
    retry_delays(folder, delays, sizeof delays);
    kill_and_reap(pid);
    reap_orphans();
    clean_folder(folder);
    if (shot.cpu_ns < 0) {
        std::fprintf(stderr, "bench: cannot read MOLV's CPU time in the crash loop\n");
        return false;
    }

    const double cpu_seconds = static_cast<double>(shot.cpu_ns) / 1e9;
    std::printf("\nCrash loop: %u seconds of a server that ends at once, default settings\n",
                opt.crash_seconds);
    std::printf("  %-12s %10s %10s %16s   %s\n", "supervisor", "launches", "backups",
                "CPU time (s)", "pauses announced (s)");
    std::printf("  %-12s %10lu %10lu %16.4f   %s\n", "MOLV", launches, backups, cpu_seconds,
                delays);
    const bool few = launches <= 8;
    const bool idle = cpu_seconds < 0.1;
    const bool all_backed = backups == lines.backed_up && lines.backed_up == lines.ended;
    std::printf("  Goal: at most 8 launches: %s; CPU time under 0.1 s: %s\n",
                few ? "met" : "MISSED", idle ? "met" : "MISSED");
    std::printf("  Every end was backed up: %s (%lu ends, %lu backups)\n",
                all_backed ? "yes" : "NO", lines.ended, backups);
    if (opt.crash_seconds != 60) {
        std::printf("  (the goal is set for 60 seconds)\n");
    }
    return true;
}

} // namespace bench
