// The large log: MOLV's backup of a large server log against cp of it.
#include "driver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

// ------------------------------------------------------------- large log

namespace {

double monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Writes the large log once: bytes that no file system stores as a hole.
bool write_large_log(const char* path, unsigned long bytes)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    static char block[1 << 20];
    for (std::size_t i = 0; i < sizeof block; ++i) {
        block[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    }
    bool good = true;
    for (unsigned long left = bytes; good && left > 0;) {
        std::size_t piece = left < sizeof block ? left : sizeof block;
        good = write(fd, block, piece) == static_cast<ssize_t>(piece);
        left -= piece;
    }
    return close(fd) == 0 && good;
}

// Removes what a round left in the folder (the copies, the records, the
// transcript) and writes all that is dirty back, so that each round starts
// from the same state of the page cache: the log read, nothing to write.
void clean_round(const char* folder)
{
    DIR* directory = opendir(folder);
    char path[4096];
    while (directory != nullptr) {
        const dirent* entry = readdir(directory);
        if (entry == nullptr) {
            break;
        }
        const char* name = entry->d_name;
        std::size_t length = std::strlen(name);
        bool copy = length > 4 && std::strcmp(name + length - 4, ".log") == 0 &&
                    std::strcmp(name, log_name) != 0;
        if ((copy || std::strcmp(name, "stamps.bin") == 0 || std::strcmp(name, "out.txt") == 0) &&
            join(path, sizeof path, folder, name)) {
            unlink(path);
        }
    }
    if (directory != nullptr) {
        closedir(directory);
    }
    sync();
}

// MOLV: from the end of the server to the next start, the log backed up in
// between; in milliseconds, or a negative value.
double molv_large_log_gap(const options& opt, const char* folder)
{
    launch what;
    what.kind = supervisor::molv;
    what.backups = true;
    what.folder = folder;
    what.keep_log = true;
    std::snprintf(what.stop_at, sizeof what.stop_at, "2");
    pid_t pid = start_supervisor(opt, what);
    if (pid < 0) {
        return -1.0;
    }
    bool stopped = wait_for_stop(pid, 600) == wait_outcome::stopped;
    kill_and_reap(pid);
    reap_orphans();
    std::vector<stamp> stamps = read_stamps(folder);
    line_counts lines = count_lines(folder);
    if (!stopped || stamps.size() < 2 || lines.backed_up != 1 || count_backups(folder) != 1) {
        std::fprintf(stderr, "bench: MOLV did not back up the large log (see %s/out.txt)\n",
                     folder);
        return -1.0;
    }
    return static_cast<double>(stamps[1].start - stamps[0].end) / 1e6;
}

// cp of the same log to a new name in the same folder, from its start to
// its end; in milliseconds, or a negative value.
double cp_large_log_time(const char* folder)
{
    const double start = monotonic_ms();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder) != 0) {
            _exit(127);
        }
        execlp("cp", "cp", log_name, "cp-copy.log", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        return -1.0;
    }
    track(pid);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    untrack(pid);
    const double took = monotonic_ms() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: cp of the large log failed\n");
        return -1.0;
    }
    return took;
}

} // namespace

bool run_large_log(const options& opt)
{
    char folder[4096];
    char log_path[4096];
    if (!join(folder, sizeof folder, opt.work, "molv_large_log") ||
        !prepare_folder(opt, folder, true) || !join(log_path, sizeof log_path, folder, log_name) ||
        !write_large_log(log_path, opt.large_log_bytes)) {
        std::fprintf(stderr, "bench: cannot prepare the large log\n");
        return false;
    }
    // One copy first, not counted, so that both start with the log read.
    clean_round(folder);
    bool ok = cp_large_log_time(folder) >= 0.0;
    std::vector<double> molv;
    std::vector<double> cp;
    for (unsigned round = 0; ok && round < opt.rounds; ++round) {
        const bool molv_first = round % 2 == 0;
        double figures[2] = {-1.0, -1.0};
        for (int step = 0; ok && step < 2; ++step) {
            clean_round(folder);
            const bool is_molv = (step == 0) == molv_first;
            figures[is_molv ? 0 : 1] =
                is_molv ? molv_large_log_gap(opt, folder) : cp_large_log_time(folder);
            ok = figures[is_molv ? 0 : 1] >= 0.0;
        }
        if (ok) {
            molv.push_back(figures[0]);
            cp.push_back(figures[1]);
            std::fprintf(stderr, "  large log round %u/%u: MOLV end-to-start %.1f ms, cp %.1f ms\n",
                         round + 1, opt.rounds, figures[0], figures[1]);
        }
    }
    clean_round(folder);
    clean_folder(folder);
    if (!ok) {
        return false;
    }
    std::printf("\nLarge log: %lu-byte server log, %u rounds, MOLV and cp alternating\n",
                opt.large_log_bytes, opt.rounds);
    std::printf("  (MOLV: end of the server to the next start, the backup in between; cp: the "
                "same log to a new\n   name in the same folder; ratio = MOLV / cp, paired by "
                "round; goal on the median ratio)\n");
    std::printf("  %-12s %-22s %-26s %-26s %-22s  %s\n", "case", "figure", "MOLV", "cp",
                "MOLV/cp", "goal");
    print_row("large log", "end-to-start (ms)", molv, cp, false, "%.1f", 1.1);
    return true;
}

} // namespace bench
