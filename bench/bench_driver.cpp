// The restart benchmark: MOLV against a bare reference loop, on the same
// stand-in server, alternating in one run; then MOLV's footprint over many
// restarts, its activity while a server runs, and how it paces a server
// that ends at once, with default settings; then the hang watchdog (how
// soon a hung server runs again, what the queries cost) and the idle cost
// of a scheduled restart.
//
// How the figures are taken:
//  - The stand-in server (quick_server) records its start and end on
//    CLOCK_MONOTONIC. Restarts per second and the end-to-start time come
//    from these records.
//  - At chosen instance numbers the server stops its parent with SIGSTOP.
//    The driver waits for that stop (a blocking waitpid with WUNTRACED),
//    reads the supervisor's own CPU clock (not its children's), VmRSS,
//    context switches and descriptors, and lets it go on or kills it.
//  - For the hang watchdog the server answers UDP queries, and records the
//    moment it falls silent; the time to the next instance's start comes
//    from the two records. Wake-ups are the supervisor's voluntary and
//    involuntary context switches over a window.
//  - Orphaned servers come back to the driver, which is a child subreaper,
//    and are reaped before the next case begins.
//
// This file reads the options and runs the parts in order; driver.h names
// the files that hold each family of rows and the measuring they share.
#include "driver.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace bench {
namespace {

// The parts of the benchmark, for the options that pick one alone.
enum class part {
    speed,
    large_log,
    footprint,
    idle,
    crash_loop,
    watchdog_speed,
    status_speed,
    hang,
    watchdog_idle,
    schedule,
    found,
    all_features,
    syscalls
};

bool& part_flag(options& opt, part which)
{
    switch (which) {
    case part::speed:
        return opt.run_speed;
    case part::large_log:
        return opt.run_large_log;
    case part::footprint:
        return opt.run_footprint;
    case part::idle:
        return opt.run_idle;
    case part::crash_loop:
        return opt.run_crash_loop;
    case part::watchdog_speed:
        return opt.run_watchdog_speed;
    case part::status_speed:
        return opt.run_status_speed;
    case part::hang:
        return opt.run_hang;
    case part::watchdog_idle:
        return opt.run_watchdog_idle;
    case part::schedule:
        return opt.run_schedule;
    case part::all_features:
        return opt.run_all_features;
    case part::syscalls:
        return opt.run_syscalls;
    case part::found:
        break;
    }
    return opt.run_found;
}

// The first "-only" option clears every part; each one then adds its own,
// so that several of them run together.
void run_only(options& opt, part which, bool& only_given)
{
    if (!only_given) {
        for (part each : {part::speed, part::large_log, part::footprint, part::idle,
                          part::crash_loop, part::watchdog_speed, part::status_speed,
                          part::hang, part::watchdog_idle, part::schedule, part::found,
                          part::all_features, part::syscalls}) {
            part_flag(opt, each) = false;
        }
        only_given = true;
    }
    part_flag(opt, which) = true;
}

struct part_option {
    const char* name;
    part which;
};

const part_option part_options[] = {
    {"speed", part::speed},
    {"large-log", part::large_log},
    {"footprint", part::footprint},
    {"idle", part::idle},
    {"crash-loop", part::crash_loop},
    {"watchdog-speed", part::watchdog_speed},
    {"status-speed", part::status_speed},
    {"hang", part::hang},
    {"watchdog-idle", part::watchdog_idle},
    {"schedule", part::schedule},
    {"found", part::found},
    {"all-features", part::all_features},
    {"syscalls", part::syscalls},
};

// "--no-NAME" and "--NAME-only" for the parts above.
bool parse_part_option(const char* argument, options& opt, bool& only_given)
{
    for (const part_option& each : part_options) {
        char no[64];
        char only[64];
        std::snprintf(no, sizeof no, "--no-%s", each.name);
        std::snprintf(only, sizeof only, "--%s-only", each.name);
        if (std::strcmp(argument, no) == 0) {
            part_flag(opt, each.which) = false;
            // The watchdog's and the status file's rows belong to the speed
            // comparison.
            if (each.which == part::speed) {
                opt.run_watchdog_speed = false;
                opt.run_status_speed = false;
                opt.run_all_features = false;
            }
            return true;
        }
        if (std::strcmp(argument, only) == 0) {
            run_only(opt, each.which, only_given);
            return true;
        }
    }
    return false;
}

const char usage_text[] =
    "usage: bench_driver --molv PATH --reference PATH --server PATH --work DIR\n"
    "                    [--quick] [--rounds N] [--restarts N] [--log-bytes N]\n"
    "                    [--footprint A,B,C] [--idle-seconds S] [--crash-seconds S]\n"
    "                    [--large-log-bytes N] [--hangs N] [--watchdog-seconds S]\n"
    "                    [--schedule-seconds S] [--nice N]\n"
    "                    [--no-PART] [--PART-only]   (PART: speed, large-log, footprint, idle,\n"
    "                    crash-loop, watchdog-speed, status-speed, hang, watchdog-idle,\n"
    "                    schedule, found, all-features, syscalls)\n";

// The scheduled restart of its row lies 23 hours ahead of the start.
constexpr unsigned long schedule_seconds_limit = 22 * 3600;

bool parse_count(const char* text, unsigned long& out)
{
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') {
        return false;
    }
    out = value;
    return true;
}

bool parse_options(int argc, char** argv, options& opt)
{
    bool only_given = false;
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long number = 0;
        if (std::strcmp(name, "--quick") == 0) {
            opt.rounds = 3;
            opt.restarts = 50;
            opt.footprint[0] = 1;
            opt.footprint[1] = 20;
            opt.footprint[2] = 200;
            opt.idle_seconds = 2;
            opt.large_log_bytes = 16UL << 20;
            opt.crash_seconds = 8;
            opt.hangs = 2;
            opt.watchdog_seconds = 8;
            opt.schedule_seconds = 5;
            opt.quick = true;
        } else if (parse_part_option(name, opt, only_given)) {
            continue;
        } else if (value == nullptr) {
            return false;
        } else if (std::strcmp(name, "--molv") == 0) {
            opt.molv = value;
            ++i;
        } else if (std::strcmp(name, "--reference") == 0) {
            opt.reference = value;
            ++i;
        } else if (std::strcmp(name, "--server") == 0) {
            opt.server = value;
            ++i;
        } else if (std::strcmp(name, "--work") == 0) {
            opt.work = value;
            ++i;
        } else if (std::strcmp(name, "--rounds") == 0 && parse_count(value, number) &&
                   number > 0 && number < 1000) {
            opt.rounds = static_cast<unsigned>(number);
            ++i;
        } else if (std::strcmp(name, "--restarts") == 0 && parse_count(value, number) &&
                   number >= 3) {
            opt.restarts = number;
            ++i;
        } else if (std::strcmp(name, "--log-bytes") == 0 && parse_count(value, number) &&
                   number <= (1UL << 20)) {
            opt.log_bytes = number;
            ++i;
        } else if (std::strcmp(name, "--large-log-bytes") == 0 && parse_count(value, number) &&
                   number > 0 && number <= (16UL << 30)) {
            opt.large_log_bytes = number;
            ++i;
        } else if (std::strcmp(name, "--idle-seconds") == 0 && parse_count(value, number) &&
                   number > 0 && number < 100000) {
            opt.idle_seconds = static_cast<unsigned>(number);
            ++i;
        } else if (std::strcmp(name, "--crash-seconds") == 0 && parse_count(value, number) &&
                   number > 0 && number < 100000) {
            opt.crash_seconds = static_cast<unsigned>(number);
            ++i;
        } else if (std::strcmp(name, "--hangs") == 0 && parse_count(value, number) &&
                   number > 0 && number <= 100) {
            opt.hangs = static_cast<unsigned>(number);
            ++i;
        } else if (std::strcmp(name, "--watchdog-seconds") == 0 && parse_count(value, number) &&
                   number > 0 && number < 100000) {
            opt.watchdog_seconds = static_cast<unsigned>(number);
            ++i;
        } else if (std::strcmp(name, "--schedule-seconds") == 0 && parse_count(value, number) &&
                   number > 0 && number <= schedule_seconds_limit) {
            // The restart time is 23 hours ahead: the window must not reach it.
            opt.schedule_seconds = static_cast<unsigned>(number);
            ++i;
        } else if (std::strcmp(name, "--nice") == 0 &&
                   parse_count(value[0] == '-' ? value + 1 : value, number) && number <= 20) {
            int magnitude = static_cast<int>(number);
            opt.nice_value = value[0] == '-' ? -magnitude : magnitude;
            opt.nice_given = true;
            ++i;
        } else if (std::strcmp(name, "--footprint") == 0) {
            unsigned long a = 0;
            unsigned long b = 0;
            unsigned long c = 0;
            char tail = '\0';
            if (std::sscanf(value, "%lu,%lu,%lu%c", &a, &b, &c, &tail) != 3 || a == 0 ||
                a >= b || b >= c) {
                return false;
            }
            opt.footprint[0] = a;
            opt.footprint[1] = b;
            opt.footprint[2] = c;
            ++i;
        } else {
            return false;
        }
    }
    return opt.molv != nullptr && opt.reference != nullptr && opt.server != nullptr &&
           opt.work != nullptr;
}

// ------------------------------------------------------------- the machine

void print_machine(const options& opt)
{
    char model[256] = "unknown";
    if (FILE* file = std::fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, file) != nullptr) {
            if (std::strncmp(line, "model name", 10) == 0) {
                const char* at = std::strchr(line, ':');
                if (at != nullptr) {
                    std::snprintf(model, sizeof model, "%s", at + 2);
                    model[std::strcspn(model, "\n")] = '\0';
                }
                break;
            }
        }
        std::fclose(file);
    }
    utsname system{};
    uname(&system);
    char when[64] = "";
    std::time_t now = std::time(nullptr);
    if (const std::tm* local = std::localtime(&now)) {
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", local);
    }
    std::printf("MOLV restart benchmark, %s\n", when);
    std::printf("  machine: %ld CPUs online, %s, %s %s %s\n", sysconf(_SC_NPROCESSORS_ONLN), model,
                system.sysname, system.release, system.machine);
    std::printf("  MOLV: %s\n  reference: %s\n", opt.molv, opt.reference);
    if (opt.nice_given) {
        std::printf("  priority: nice %d\n", opt.nice_value);
    }
}

} // namespace
} // namespace bench

int main(int argc, char** argv)
{
    using namespace bench;
    options opt;
    if (!parse_options(argc, argv, opt)) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    // The supervisors run in their case folders: every path must be absolute.
    static char paths[4][PATH_MAX];
    mkdir(opt.work, 0755);
    const char** given[4] = {&opt.molv, &opt.reference, &opt.server, &opt.work};
    for (int i = 0; i < 4; ++i) {
        if (realpath(*given[i], paths[i]) == nullptr) {
            std::fprintf(stderr, "bench: %s: %s\n", *given[i], std::strerror(errno));
            return 2;
        }
        *given[i] = paths[i];
    }
    // A priority for the driver and everything it starts, to keep other
    // work on the machine from blurring the figures.
    if (opt.nice_given && setpriority(PRIO_PROCESS, 0, opt.nice_value) != 0) {
        std::fprintf(stderr, "bench: cannot set the priority: %s\n", std::strerror(errno));
        return 2;
    }
    install_handlers();
    // Servers orphaned by a killed supervisor come back here to be reaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    print_machine(opt);
    bool ok = true;
    if (opt.run_speed || opt.run_watchdog_speed || opt.run_status_speed ||
        opt.run_all_features) {
        ok = run_speed(opt) && ok;
    }
    if (ok && opt.run_syscalls) {
        ok = run_syscalls(opt) && ok;
    }
    if (ok && opt.run_large_log) {
        ok = run_large_log(opt) && ok;
    }
    if (ok && opt.run_footprint) {
        ok = run_footprint(opt) && ok;
    }
    if (ok && opt.run_idle) {
        ok = run_idle(opt) && ok;
    }
    if (ok && opt.run_crash_loop) {
        ok = run_crash_loop(opt) && ok;
    }
    if (ok && opt.run_hang) {
        ok = run_hang(opt) && ok;
    }
    if (ok && opt.run_watchdog_idle) {
        ok = run_watchdog_idle(opt) && ok;
    }
    if (ok && opt.run_found) {
        ok = run_found(opt) && ok;
    }
    if (ok && opt.run_schedule) {
        ok = run_schedule(opt) && ok;
        ok = run_asked_restart(opt) && ok;
    }
    return ok ? 0 : 1;
}
