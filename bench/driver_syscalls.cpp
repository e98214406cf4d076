// System calls per restart: MOLV and the reference loop, backups on, each
// run under `strace -c` for a few seconds against the server that ends at
// once. strace slows both alike; the counts, not the times, are the figure.
#include "driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <signal.h>
#include <string>
#include <unistd.h>

namespace bench {

namespace {

// The total of calls in a summary of `strace -c`: the last line, "total".
long long total_calls(const char* path)
{
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return -1;
    }
    char line[512];
    long long calls = -1;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strstr(line, " total") == nullptr) {
            continue;
        }
        // "100.00    0.012345          1     12345       123 total": the
        // fourth number counts the calls.
        double percent = 0.0;
        double seconds = 0.0;
        long long per_call = 0;
        if (std::sscanf(line, "%lf %lf %lld %lld", &percent, &seconds, &per_call, &calls) != 4) {
            calls = -1;
        }
    }
    std::fclose(file);
    return calls;
}

// The first child of `pid` (the program strace runs), or -1.
pid_t child_of(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(pid),
                  static_cast<int>(pid));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return -1;
    }
    long child = -1;
    if (std::fscanf(file, "%ld", &child) != 1) {
        child = -1;
    }
    std::fclose(file);
    return static_cast<pid_t>(child);
}

// Runs one supervisor under strace for `seconds`; the calls per restart, or
// a negative value.
double calls_per_restart(const options& opt, supervisor kind, const char* folder,
                         unsigned seconds)
{
    if (!prepare_folder(opt, folder, true)) {
        return -1.0;
    }
    char summary[4096];
    if (!join(summary, sizeof summary, folder, "strace.txt")) {
        return -1.0;
    }
    launch what;
    what.kind = kind;
    what.folder = folder;
    what.count_calls_to = summary;
    const pid_t tracer = start_supervisor(opt, what);
    if (tracer < 0) {
        return -1.0;
    }
    sleep_seconds(seconds);
    // strace writes its summary when the supervisor ends, and ends too.
    const pid_t traced = child_of(tracer);
    if (traced > 0) {
        kill(traced, SIGKILL);
        wait_for_stop(tracer, 10);
    }
    kill_and_reap(tracer);
    reap_orphans();
    const long long calls = total_calls(summary);
    const line_counts lines = count_lines(folder);
    if (calls <= 0 || lines.restarting == 0) {
        std::fprintf(stderr, "bench: %s under strace: %lld calls, %lu restarts (see %s)\n",
                     kind_name(kind), calls, lines.restarting, summary);
        return -1.0;
    }
    clean_folder(folder);
    return static_cast<double>(calls) / static_cast<double>(lines.restarting);
}

} // namespace

bool run_syscalls(const options& opt)
{
    if (access("/usr/bin/strace", X_OK) != 0) {
        std::printf("\nSystem calls per restart: skipped, no /usr/bin/strace (Debian package "
                    "strace)\n");
        return true;
    }
    const unsigned seconds = opt.quick ? 1 : 5;
    char molv_folder[4096];
    char reference_folder[4096];
    if (!join(molv_folder, sizeof molv_folder, opt.work, "molv_syscalls") ||
        !join(reference_folder, sizeof reference_folder, opt.work, "reference_syscalls")) {
        return false;
    }
    const double molv = calls_per_restart(opt, supervisor::molv, molv_folder, seconds);
    const double reference =
        calls_per_restart(opt, supervisor::reference, reference_folder, seconds);
    if (molv < 0.0 || reference < 0.0) {
        return false;
    }
    std::printf("\nSystem calls per restart, backups on, %lu-byte log (strace -c over %u s, "
                "start-up included)\n",
                opt.log_bytes, seconds);
    std::printf("  %-12s %10s\n", "", "calls");
    std::printf("  %-12s %10.1f\n", "MOLV", molv);
    std::printf("  %-12s %10.1f\n", "reference", reference);
    return true;
}

} // namespace bench
