// The driver's measuring: the processes it starts and waits for, the
// figures it reads from them, and the rows of the table.
#include "driver.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

// ------------------------------------------------------ processes, signals

namespace {

volatile sig_atomic_t timed_out = 0;
// Everything the driver has started and not yet reaped, for the way out.
volatile pid_t live_pids[4] = {0, 0, 0, 0};

void on_alarm(int)
{
    timed_out = 1;
}

void on_interrupt(int)
{
    for (int i = 0; i < 4; ++i) {
        if (live_pids[i] > 0) {
            kill(live_pids[i], SIGKILL);
        }
    }
    _exit(130);
}

} // namespace

void track(pid_t pid)
{
    for (int i = 0; i < 4; ++i) {
        if (live_pids[i] == 0) {
            live_pids[i] = pid;
            return;
        }
    }
}

void untrack(pid_t pid)
{
    for (int i = 0; i < 4; ++i) {
        if (live_pids[i] == pid) {
            live_pids[i] = 0;
        }
    }
}

void install_handlers()
{
    struct sigaction action{};
    sigemptyset(&action.sa_mask);
    action.sa_handler = on_alarm; // no SA_RESTART: the wait returns EINTR
    sigaction(SIGALRM, &action, nullptr);
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

wait_outcome wait_for_stop(pid_t pid, unsigned seconds)
{
    timed_out = 0;
    alarm(seconds);
    int status = 0;
    pid_t got = -1;
    for (;;) {
        got = waitpid(pid, &status, WUNTRACED);
        if (got >= 0 || errno != EINTR || timed_out) {
            break;
        }
    }
    alarm(0);
    if (got < 0) {
        return wait_outcome::too_late;
    }
    if (WIFSTOPPED(status)) {
        return wait_outcome::stopped;
    }
    untrack(pid);
    return wait_outcome::ended;
}

void kill_and_reap(pid_t pid)
{
    kill(pid, SIGKILL);
    kill(pid, SIGCONT);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    untrack(pid);
}

void reap_orphans()
{
    timed_out = 0;
    alarm(30);
    int status = 0;
    while (!timed_out && (waitpid(-1, &status, 0) >= 0 || errno == EINTR)) {
    }
    alarm(0);
    if (timed_out) {
        std::fprintf(stderr, "bench: a server has not ended within 30 seconds\n");
    }
}

void sleep_seconds(unsigned seconds)
{
    unsigned left = seconds;
    while (left > 0) {
        left = sleep(left);
    }
}

// --------------------------------------------------------------- figures

namespace {

std::int64_t process_cpu_ns(pid_t pid)
{
    clockid_t clock = 0;
    timespec value{};
    if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &value) == 0) {
        return static_cast<std::int64_t>(value.tv_sec) * 1000000000 + value.tv_nsec;
    }
    // Clock ticks of the process itself (utime and stime, fields 14 and 15).
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return -1;
    }
    char text[1024] = "";
    std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    const char* at = std::strrchr(text, ')');
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    if (at == nullptr ||
        std::sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                    &stime) != 2) {
        return -1;
    }
    long ticks = sysconf(_SC_CLK_TCK);
    unsigned long long tick_ns =
        1000000000ULL / static_cast<unsigned long long>(ticks > 0 ? ticks : 100);
    return static_cast<std::int64_t>((utime + stime) * tick_ns);
}

} // namespace

snapshot take_snapshot(pid_t pid)
{
    snapshot shot;
    shot.cpu_ns = process_cpu_ns(pid);

    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/status", static_cast<long>(pid));
    if (FILE* file = std::fopen(path, "r")) {
        char line[256];
        long voluntary = -1;
        long involuntary = -1;
        while (std::fgets(line, sizeof line, file) != nullptr) {
            std::sscanf(line, "VmRSS: %ld", &shot.rss_kb);
            std::sscanf(line, "RssAnon: %ld", &shot.anon_kb);
            std::sscanf(line, "RssFile: %ld", &shot.file_kb);
            std::sscanf(line, "voluntary_ctxt_switches: %ld", &voluntary);
            std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &involuntary);
        }
        std::fclose(file);
        if (voluntary >= 0 && involuntary >= 0) {
            shot.switches = voluntary + involuntary;
            shot.involuntary = involuntary;
        }
    }

    std::snprintf(path, sizeof path, "/proc/%ld/fd", static_cast<long>(pid));
    if (DIR* directory = opendir(path)) {
        shot.fds = 0;
        while (const dirent* entry = readdir(directory)) {
            if (entry->d_name[0] != '.') {
                ++shot.fds;
            }
        }
        closedir(directory);
    }
    return shot;
}

double median(std::vector<double> values)
{
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

spread spread_of(const std::vector<double>& values)
{
    spread out;
    if (values.empty()) {
        return out;
    }
    out.mid = median(values);
    out.low = *std::min_element(values.begin(), values.end());
    out.high = *std::max_element(values.begin(), values.end());
    return out;
}

// ------------------------------------------------------------- the table

namespace {

std::vector<double> ratios(const std::vector<double>& a, const std::vector<double>& b)
{
    std::vector<double> out;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        out.push_back(b[i] > 0.0 ? a[i] / b[i] : 0.0);
    }
    return out;
}

} // namespace

bool print_row(const char* label, const char* figure, const std::vector<double>& molv,
               const std::vector<double>& reference, bool higher_is_better, const char* format,
               double goal)
{
    spread m = spread_of(molv);
    spread r = spread_of(reference);
    spread q = spread_of(ratios(molv, reference));
    bool met = higher_is_better ? q.mid >= 1.0 / goal : q.mid <= goal;
    char molv_text[96];
    char reference_text[96];
    char cell[24];
    char low[24];
    char high[24];
    std::snprintf(cell, sizeof cell, format, m.mid);
    std::snprintf(low, sizeof low, format, m.low);
    std::snprintf(high, sizeof high, format, m.high);
    std::snprintf(molv_text, sizeof molv_text, "%8s [%s..%s]", cell, low, high);
    std::snprintf(cell, sizeof cell, format, r.mid);
    std::snprintf(low, sizeof low, format, r.low);
    std::snprintf(high, sizeof high, format, r.high);
    std::snprintf(reference_text, sizeof reference_text, "%8s [%s..%s]", cell, low, high);
    if (goal == no_goal) {
        std::printf("  %-12s %-22s %-26s %-26s %5.3f [%5.3f..%5.3f]  -\n", label, figure,
                    molv_text, reference_text, q.mid, q.low, q.high);
        return true;
    }
    std::printf("  %-12s %-22s %-26s %-26s %5.3f [%5.3f..%5.3f]  %s %4.2f  %s\n", label, figure,
                molv_text, reference_text, q.mid, q.low, q.high,
                higher_is_better ? ">=" : "<=", higher_is_better ? 1.0 / goal : goal,
                met ? "met" : "MISSED");
    return met;
}

} // namespace bench
