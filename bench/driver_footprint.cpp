// Memory and descriptors: MOLV's footprint after many restarts.
#include "driver.h"

#include <algorithm>
#include <cstdio>
#include <signal.h>

namespace bench {

// ------------------------------------------ footprint: memory, descriptors

bool run_footprint(const options& opt)
{
    char folder[4096];
    if (!join(folder, sizeof folder, opt.work, "molv_footprint") ||
        !prepare_folder(opt, folder, true)) {
        return false;
    }
    launch what;
    what.kind = supervisor::molv;
    what.backups = true;
    what.folder = folder;
    what.sweep = 1000;
    std::snprintf(what.stop_at, sizeof what.stop_at, "%lu,%lu,%lu", opt.footprint[0] + 1,
                  opt.footprint[1] + 1, opt.footprint[2] + 1);
    std::fprintf(stderr, "  footprint: up to %lu restarts...\n", opt.footprint[2]);
    pid_t pid = start_supervisor(opt, what);
    if (pid < 0) {
        return false;
    }
    snapshot shots[3];
    char name[64];
    bool stopped = true;
    for (int i = 0; i < 3 && stopped; ++i) {
        unsigned limit = static_cast<unsigned>(60 + opt.footprint[i] / 20);
        stopped = wait_for_stop(pid, limit) == wait_outcome::stopped;
        if (stopped) {
            shots[i] = take_snapshot(pid);
            // The memory map at each point, kept for a closer look.
            char source[64];
            char kept[4096];
            std::snprintf(source, sizeof source, "/proc/%ld/smaps", static_cast<long>(pid));
            std::snprintf(name, sizeof name, "footprint_smaps_%lu.txt", opt.footprint[i]);
            if (join(kept, sizeof kept, opt.work, name)) {
                copy_file(source, kept, 0644);
            }
            if (i < 2) {
                kill(pid, SIGCONT);
            }
        }
    }
    kill_and_reap(pid);
    reap_orphans();
    if (!stopped) {
        std::fprintf(stderr, "bench: MOLV did not reach %lu restarts (see %s/out.txt)\n",
                     opt.footprint[2], folder);
        return false;
    }
    line_counts lines = count_lines(folder);
    clean_folder(folder);

    std::printf("\nFootprint of MOLV: backups on, %lu-byte server log\n", opt.log_bytes);
    std::printf("  %-16s %10s %10s %10s %10s %10s\n", "after restarts", "VmRSS kB", "pages",
                "anon kB", "file kB", "open fds");
    for (int i = 0; i < 3; ++i) {
        std::printf("  %-16lu %10ld %10ld %10ld %10ld %10ld\n", opt.footprint[i],
                    shots[i].rss_kb, shots[i].rss_kb / 4, shots[i].anon_kb, shots[i].file_kb,
                    shots[i].fds);
    }
    long peak = std::max(shots[0].rss_kb, std::max(shots[1].rss_kb, shots[2].rss_kb));
    bool small = peak > 0 && peak <= 1536;
    bool flat = shots[2].rss_kb <= shots[1].rss_kb;
    bool fds_equal = shots[0].fds == shots[1].fds && shots[1].fds == shots[2].fds;
    bool all_backed = lines.backed_up == lines.ended && lines.other_warnings == 0;
    std::printf("  Goal: VmRSS at most 1536 kB: %s (peak %ld kB)\n", small ? "met" : "MISSED",
                peak);
    std::printf("  Goal: not one page more after %lu than after %lu: %s (%+ld kB)\n",
                opt.footprint[2], opt.footprint[1], flat ? "met" : "MISSED",
                shots[2].rss_kb - shots[1].rss_kb);
    std::printf("  Goal: open descriptors equal: %s\n", fds_equal ? "met" : "MISSED");
    std::printf("  Every end was backed up: %s (%lu ends, %lu backups)\n",
                all_backed ? "yes" : "NO", lines.ended, lines.backed_up);
    return true;
}

} // namespace bench
