// A restart asked for at another console (molv --restart) beside the same
// restart made by restart_at: how long from the ask, or from the listed
// time, to the start of the new server, for a server that closes at once.
#include "driver.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr unsigned asked_rounds = 5;

std::int64_t clock_ns(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Waits until the case folder holds `count` server starts; false after 30
// seconds.
bool wait_for_starts(const char* folder, std::size_t count)
{
    for (int look = 0; look < 3000; ++look) {
        if (read_stamps(folder).size() >= count) {
            return true;
        }
        usleep(10000);
    }
    return false;
}

// Runs `molv --restart` in `folder`, its output thrown away.
bool ask_restart(const options& opt, const char* folder)
{
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0 || chdir(folder) != 0) {
            _exit(120);
        }
        execl(opt.molv, opt.molv, "--restart", static_cast<char*>(nullptr));
        _exit(121);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Starts MOLV in `folder` beside a server that runs until it is stopped.
bool start_case(const options& opt, const char* folder, pid_t& pid)
{
    launch what;
    what.kind = supervisor::molv;
    what.backups = true;
    what.folder = folder;
    long server = -1;
    if (!start_long_running(opt, what, pid, server)) {
        return false;
    }
    kill(pid, SIGCONT);
    return true;
}

void end_case(const char* folder, pid_t pid)
{
    end_long_running(pid, read_pid_file(folder));
    clean_folder(folder);
}

// The restarts asked for: from the ask to the new server's start, in
// milliseconds.
bool measure_asked(const options& opt, std::vector<double>& times)
{
    char folder[4096];
    pid_t pid = -1;
    if (!join(folder, sizeof folder, opt.work, "molv_asked") ||
        !prepare_folder(opt, folder, true) || !start_case(opt, folder, pid)) {
        return false;
    }
    bool ok = wait_for_starts(folder, 1);
    for (unsigned round = 0; ok && round < asked_rounds; ++round) {
        sleep(1);
        const std::int64_t asked = clock_ns(CLOCK_MONOTONIC);
        ok = ask_restart(opt, folder) && wait_for_starts(folder, round + 2);
        if (ok) {
            times.push_back(static_cast<double>(read_stamps(folder)[round + 1].start - asked) / 1e6);
        }
    }
    end_case(folder, pid);
    return ok;
}

// The same restarts at listed times a few seconds apart: from the moment
// the wall clock reaches each to the new server's start.
bool measure_scheduled(const options& opt, std::vector<double>& times)
{
    const std::time_t first = std::time(nullptr) + 4;
    char general[256] = "restart_at=";
    std::time_t at[asked_rounds];
    for (unsigned round = 0; round < asked_rounds; ++round) {
        at[round] = first + 3 * static_cast<std::time_t>(round);
        std::tm local{};
        char written[16];
        if (localtime_r(&at[round], &local) == nullptr ||
            std::strftime(written, sizeof written, round == 0 ? "%H:%M:%S" : ", %H:%M:%S",
                          &local) == 0) {
            return false;
        }
        std::snprintf(general + std::strlen(general), sizeof general - std::strlen(general), "%s",
                      written);
    }
    std::snprintf(general + std::strlen(general), sizeof general - std::strlen(general), "\n");
    char folder[4096];
    pid_t pid = -1;
    if (!join(folder, sizeof folder, opt.work, "molv_scheduled") ||
        !prepare_folder(opt, folder, true, pacing::immediate, general) ||
        !start_case(opt, folder, pid)) {
        return false;
    }
    bool ok = true;
    for (unsigned round = 0; ok && round < asked_rounds; ++round) {
        ok = wait_for_starts(folder, round + 2);
        if (ok) {
            // The listed second on the monotonic clock of the stamps.
            const std::int64_t offset = clock_ns(CLOCK_REALTIME) - clock_ns(CLOCK_MONOTONIC);
            const std::int64_t due = static_cast<std::int64_t>(at[round]) * 1000000000 - offset;
            times.push_back(static_cast<double>(read_stamps(folder)[round + 1].start - due) / 1e6);
        }
    }
    end_case(folder, pid);
    return ok;
}

} // namespace

bool run_asked_restart(const options& opt)
{
    std::fprintf(stderr, "  restart asked and scheduled, %u of each...\n", asked_rounds);
    std::vector<double> asked;
    std::vector<double> scheduled;
    if (!measure_asked(opt, asked) || !measure_scheduled(opt, scheduled)) {
        std::fprintf(stderr, "bench: the asked restart case did not run through\n");
        return false;
    }
    const spread a = spread_of(asked);
    const spread s = spread_of(scheduled);
    std::printf("\nRestart asked (molv --restart) and scheduled (restart_at), a server that "
                "closes at once:\n  from the ask or the listed time to the new server's start, "
                "median of %u [range]\n",
                asked_rounds);
    std::printf("  %-12s %8.1f ms [%.1f..%.1f]\n", "asked", a.mid, a.low, a.high);
    std::printf("  %-12s %8.1f ms [%.1f..%.1f]\n", "scheduled", s.mid, s.low, s.high);
    return true;
}

} // namespace bench
