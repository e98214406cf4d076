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
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// ---------------------------------------------------------------- options

struct options {
    const char* molv = nullptr;
    const char* reference = nullptr;
    const char* server = nullptr;
    const char* work = nullptr;
    unsigned rounds = 7;
    unsigned long restarts = 1000;
    unsigned long log_bytes = 65536;
    unsigned long large_log_bytes = 256UL << 20;
    unsigned long footprint[3] = {1, 1000, 100000};
    unsigned idle_seconds = 20;
    unsigned crash_seconds = 60;
    unsigned hangs = 5;
    unsigned watchdog_seconds = 60;
    unsigned schedule_seconds = 600;
    int nice_value = 0;
    bool nice_given = false;
    bool run_speed = true;
    bool run_footprint = true;
    bool run_idle = true;
    bool run_large_log = true;
    bool run_crash_loop = true;
    bool run_watchdog_speed = true;
    bool run_hang = true;
    bool run_watchdog_idle = true;
    bool run_schedule = true;
    bool quick = false;
};

// The parts of the benchmark, for the options that pick one alone.
enum class part {
    speed,
    large_log,
    footprint,
    idle,
    crash_loop,
    watchdog_speed,
    hang,
    watchdog_idle,
    schedule
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
    case part::hang:
        return opt.run_hang;
    case part::watchdog_idle:
        return opt.run_watchdog_idle;
    case part::schedule:
        break;
    }
    return opt.run_schedule;
}

// The first "-only" option clears every part; each one then adds its own,
// so that several of them run together.
void run_only(options& opt, part which, bool& only_given)
{
    if (!only_given) {
        for (part each : {part::speed, part::large_log, part::footprint, part::idle,
                          part::crash_loop, part::watchdog_speed, part::hang,
                          part::watchdog_idle, part::schedule}) {
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
    {"hang", part::hang},
    {"watchdog-idle", part::watchdog_idle},
    {"schedule", part::schedule},
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
            // The watchdog's row belongs to the speed comparison.
            if (each.which == part::speed) {
                opt.run_watchdog_speed = false;
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
    "                    crash-loop, watchdog-speed, hang, watchdog-idle, schedule)\n";

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

// ------------------------------------------------------ processes, signals

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

enum class wait_outcome { stopped, ended, too_late };

// Blocks until `pid` stops or ends, at most `seconds`.
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

// Reaps servers that were orphaned by a killed supervisor; they end on their
// own (quick mode) or have been killed.
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

// --------------------------------------------------------------- figures

struct snapshot {
    std::int64_t cpu_ns = -1;
    long rss_kb = -1;
    long anon_kb = -1;
    long file_kb = -1;
    long switches = -1;
    long involuntary = -1;
    long fds = -1;
};

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

struct spread {
    double mid = 0.0;
    double low = 0.0;
    double high = 0.0;
};

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

// ------------------------------------------------------------ work folders

bool join(char* out, std::size_t capacity, const char* directory, const char* name)
{
    int length = std::snprintf(out, capacity, "%s/%s", directory, name);
    return length > 0 && static_cast<std::size_t>(length) < capacity;
}

bool copy_file(const char* source, const char* destination, mode_t mode)
{
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    int out = open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (out < 0) {
        close(in);
        return false;
    }
    static char buffer[65536];
    bool good = true;
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got == 0) {
            break;
        }
        if (got < 0 || write(out, buffer, static_cast<std::size_t>(got)) != got) {
            good = false;
            break;
        }
    }
    close(in);
    good = close(out) == 0 && good;
    return good && chmod(destination, mode) == 0;
}

// Empties a case folder, keeping the server and the settings file.
void clean_folder(const char* folder)
{
    DIR* directory = opendir(folder);
    if (directory == nullptr) {
        return;
    }
    char path[4096];
    while (const dirent* entry = readdir(directory)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
            std::strcmp(name, "quick_server") == 0 || std::strcmp(name, "molv.ini") == 0) {
            continue;
        }
        if (join(path, sizeof path, folder, name)) {
            unlink(path);
        }
    }
    closedir(directory);
}

const char server_name[] = "quick_server";
const char log_name[] = "server.log";
// What MOLV composes from the settings below (standard mode, defaults).
const char server_argument[] = "DXMP_Area51_Bunker?Game=DeusEx.DeathMatchGame?-server?"
                               "log=server.log?MaxPlayers=10?";

// How the settings file of a case treats a server that ends at once.
enum class pacing { immediate, default_settings };

// The settings of a case. The speed and footprint cases restart at once
// (min_uptime=0), as they measure the restart itself; the crash loop keeps
// every default but the server's name. `general` adds lines to [GENERAL].
bool prepare_folder(const options& opt, const char* folder, bool backups,
                    pacing pace = pacing::immediate, const char* general = "")
{
    mkdir(opt.work, 0755);
    if (mkdir(folder, 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "bench: cannot make %s: %s\n", folder, std::strerror(errno));
        return false;
    }
    clean_folder(folder);
    char path[4096];
    if (!join(path, sizeof path, folder, server_name) || !copy_file(opt.server, path, 0755)) {
        std::fprintf(stderr, "bench: cannot copy the server to %s\n", folder);
        return false;
    }
    if (!join(path, sizeof path, folder, "molv.ini")) {
        return false;
    }
    FILE* ini = std::fopen(path, "w");
    if (ini == nullptr) {
        return false;
    }
    if (pace == pacing::default_settings) {
        std::fprintf(ini, "[GENERAL]\nexename=%s\n", server_name);
    } else {
        std::fprintf(ini,
                     "[GENERAL]\nexename=%s\nlogfile=%s\nlogfile_backups=%d\nmin_uptime=0\n%s\n"
                     "[GAME]\ngame_mtl=0\n",
                     server_name, log_name, backups ? 1 : 0, general);
    }
    return std::fclose(ini) == 0;
}

// ---------------------------------------------------------- one supervisor

enum class supervisor { molv, reference };

struct launch {
    supervisor kind = supervisor::molv;
    bool backups = true;
    const char* folder = nullptr;
    char stop_at[96] = "";
    bool idle = false;
    bool keep_log = false;
    unsigned long sweep = 0;
    // With `idle`: the UDP port the server answers queries on (0: none),
    // how long it answers before it hangs (0: for ever), and whether it
    // records every answer.
    unsigned query_port = 0;
    unsigned long answer_ms = 0;
    bool record_answers = false;
};

pid_t start_supervisor(const options& opt, const launch& what)
{
    char output[4096];
    if (!join(output, sizeof output, what.folder, "out.txt")) {
        return -1;
    }
    char log_bytes[32];
    std::snprintf(log_bytes, sizeof log_bytes, "%lu", opt.log_bytes);
    char sweep[32];
    std::snprintf(sweep, sizeof sweep, "%lu", what.sweep);
    char query_port[16];
    std::snprintf(query_port, sizeof query_port, "%u", what.query_port);
    char answer_ms[32];
    std::snprintf(answer_ms, sizeof answer_ms, "%lu", what.answer_ms);
    std::fflush(stdout);

    pid_t pid = fork();
    if (pid != 0) {
        if (pid > 0) {
            track(pid);
        }
        return pid;
    }
    // The child: the case folder, output to a file, no input.
    int in = open("/dev/null", O_RDONLY);
    int out = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || chdir(what.folder) != 0) {
        _exit(127);
    }
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    close(in);
    close(out);
    // Nothing the driver holds open reaches the supervisor, and the
    // supervisor does not outlive the driver.
    close_range(3, ~0U, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    setenv("BENCH_STAMPS", "stamps.bin", 1);
    setenv("BENCH_STOP_AT", what.stop_at, 1);
    setenv("BENCH_LOG_BYTES", log_bytes, 1);
    setenv("BENCH_IDLE", what.idle ? "1" : "0", 1);
    setenv("BENCH_KEEP_LOG", what.keep_log ? "1" : "0", 1);
    setenv("BENCH_SWEEP", sweep, 1);
    setenv("BENCH_PID", "server.pid", 1);
    setenv("BENCH_QUERY_PORT", query_port, 1);
    setenv("BENCH_ANSWER_MS", answer_ms, 1);
    setenv("BENCH_SILENCE", "silence.bin", 1);
    setenv("BENCH_ANSWERS", what.record_answers ? "answers.bin" : "", 1);
    struct sigaction action{};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGALRM, &action, nullptr);

    if (what.kind == supervisor::molv) {
        char* const args[] = {const_cast<char*>(opt.molv), nullptr};
        execv(opt.molv, args);
    } else {
        char* const args[] = {const_cast<char*>(opt.reference),
                              const_cast<char*>(server_name),
                              const_cast<char*>(log_name),
                              const_cast<char*>(what.backups ? "1" : "0"),
                              const_cast<char*>("0"),
                              const_cast<char*>(server_argument),
                              nullptr};
        execv(opt.reference, args);
    }
    _exit(127);
}

struct stamp {
    std::int64_t start;
    std::int64_t end;
};

// The 16-byte records of the server: "stamps.bin" (start, end) or
// "silence.bin" (the moment of silence, the last answer).
std::vector<stamp> read_stamps(const char* folder, const char* name = "stamps.bin")
{
    std::vector<stamp> stamps;
    char path[4096];
    if (!join(path, sizeof path, folder, name)) {
        return stamps;
    }
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return stamps;
    }
    std::int64_t record[2];
    while (std::fread(record, sizeof record, 1, file) == 1) {
        stamps.push_back({record[0], record[1]});
    }
    std::fclose(file);
    return stamps;
}

struct line_counts {
    unsigned long restarting = 0;
    unsigned long ended = 0;
    unsigned long backed_up = 0;
    unsigned long other_warnings = 0;
};

line_counts count_lines(const char* folder)
{
    line_counts counts;
    char path[4096];
    if (!join(path, sizeof path, folder, "out.txt")) {
        return counts;
    }
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return counts;
    }
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strstr(line, "] ") == nullptr) {
            continue;
        }
        if (std::strstr(line, "  > Restarting...") != nullptr) {
            ++counts.restarting;
        } else if (std::strstr(line, "  WARNING: Server crashed or closed!") != nullptr) {
            ++counts.ended;
        } else if (std::strstr(line, "  > Backing up the log...") != nullptr) {
            ++counts.backed_up;
        } else if (std::strstr(line, "WARNING") != nullptr) {
            ++counts.other_warnings;
        }
    }
    std::fclose(file);
    return counts;
}

// The lines of the transcript that hold `text`.
unsigned long count_containing(const char* folder, const char* text)
{
    unsigned long count = 0;
    char path[4096];
    FILE* file = join(path, sizeof path, folder, "out.txt") ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) {
        return 0;
    }
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strstr(line, text) != nullptr) {
            ++count;
        }
    }
    std::fclose(file);
    return count;
}

unsigned long count_backups(const char* folder)
{
    unsigned long count = 0;
    DIR* directory = opendir(folder);
    if (directory == nullptr) {
        return 0;
    }
    while (const dirent* entry = readdir(directory)) {
        const char* name = entry->d_name;
        std::size_t length = std::strlen(name);
        if (std::strstr(name, "__") != nullptr && length > 4 &&
            std::strcmp(name + length - 4, ".log") == 0) {
            ++count;
        }
    }
    closedir(directory);
    return count;
}

const char* kind_name(supervisor kind)
{
    return kind == supervisor::molv ? "MOLV" : "reference";
}

// ------------------------------------------------------------ speed cases

struct speed_result {
    bool ok = false;
    double rate = 0.0;   // restarts per second, from the median start-to-start time
    double gap_us = 0.0; // median end-to-start time within the case
    double cpu_us = 0.0; // supervisor CPU per restart
    long rss_kb = 0;
};

// Instance 1 is the first start. The figures cover the instances after the
// warm-up stop: CPU from the stop at `first` to the stop at `last`
// (last - first restarts); rate and gaps from instance first+1 on, since the
// stop itself holds up the instance `first`. The CPU figure is a mean (time
// waiting for a core is not CPU time); the other two are medians.
speed_result speed_case(const options& opt, supervisor kind, bool backups, const char* folder,
                        const char* general = "")
{
    speed_result result;
    const unsigned long first = 3;
    const unsigned long last = first + opt.restarts;
    launch what;
    what.kind = kind;
    what.backups = backups;
    what.folder = folder;
    std::snprintf(what.stop_at, sizeof what.stop_at, "%lu,%lu", first, last);
    if (!prepare_folder(opt, folder, backups, pacing::immediate, general)) {
        return result;
    }

    pid_t pid = start_supervisor(opt, what);
    if (pid < 0) {
        return result;
    }
    const unsigned limit = static_cast<unsigned>(60 + opt.restarts / 50);
    snapshot at_first;
    snapshot at_last;
    bool stopped = wait_for_stop(pid, limit) == wait_outcome::stopped;
    if (stopped) {
        at_first = take_snapshot(pid);
        kill(pid, SIGCONT);
        stopped = wait_for_stop(pid, limit) == wait_outcome::stopped;
    }
    if (stopped) {
        at_last = take_snapshot(pid);
    }
    kill_and_reap(pid);
    reap_orphans();
    if (!stopped) {
        std::fprintf(stderr, "bench: %s did not reach %lu restarts (see %s/out.txt)\n",
                     kind_name(kind), last - 1, folder);
        return result;
    }

    std::vector<stamp> stamps = read_stamps(folder);
    if (stamps.size() < last) {
        std::fprintf(stderr, "bench: %s: only %zu server records\n", kind_name(kind),
                     stamps.size());
        return result;
    }
    // Instance k is stamps[k - 1].
    // Medians within the case: a burst of other work on the machine then
    // costs a few cycles their place, not the whole figure.
    std::vector<double> gaps;
    std::vector<double> cycles;
    for (unsigned long k = first + 1; k < last; ++k) {
        gaps.push_back(static_cast<double>(stamps[k].start - stamps[k - 1].end) / 1000.0);
        cycles.push_back(static_cast<double>(stamps[k].start - stamps[k - 1].start) / 1000.0);
    }
    double cycle_us = median(cycles);
    result.rate = cycle_us > 0.0 ? 1e6 / cycle_us : 0.0;
    result.gap_us = median(gaps);
    result.cpu_us = static_cast<double>(at_last.cpu_ns - at_first.cpu_ns) / 1000.0 /
                    static_cast<double>(last - first);
    result.rss_kb = at_last.rss_kb;

    // The transcript and the backups must show the same work for both loops.
    line_counts lines = count_lines(folder);
    unsigned long backups_made = count_backups(folder);
    bool consistent = lines.restarting == last - 1 && lines.ended + 1 >= last - 1 &&
                      lines.ended <= last - 1 && lines.other_warnings == 0 &&
                      lines.backed_up == (backups ? lines.ended : 0) &&
                      backups_made == lines.backed_up;
    if (!consistent) {
        std::fprintf(stderr,
                     "bench: %s transcript does not match: %lu restarts, %lu ends, %lu "
                     "backup lines, %lu backup files, %lu other warnings (expected %lu "
                     "restarts)\n",
                     kind_name(kind), lines.restarting, lines.ended, lines.backed_up,
                     backups_made, lines.other_warnings, last - 1);
        return result;
    }
    clean_folder(folder);
    result.ok = true;
    return result;
}

struct series {
    std::vector<double> rate;
    std::vector<double> gap;
    std::vector<double> cpu;
};

void add(series& s, const speed_result& r)
{
    s.rate.push_back(r.rate);
    s.gap.push_back(r.gap_us);
    s.cpu.push_back(r.cpu_us);
}

std::vector<double> ratios(const std::vector<double>& a, const std::vector<double>& b)
{
    std::vector<double> out;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        out.push_back(b[i] > 0.0 ? a[i] / b[i] : 0.0);
    }
    return out;
}

const double goal_ratio = 1.15;

// A row without a goal of its own: its figures are shown, not judged.
const double no_goal = 0.0;

bool print_row(const char* label, const char* figure, const std::vector<double>& molv,
               const std::vector<double>& reference, bool higher_is_better, const char* format,
               double goal = goal_ratio)
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

// A UDP port on 127.0.0.1 that nothing is bound to just now, or 0.
unsigned free_udp_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    unsigned port = 0;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// The cases of the speed comparison. The watchdog case is MOLV with
// backups off and a query port set: each instance gets its socket, its
// first query and its place in the wait.
enum speed_slot { molv_on, reference_on, molv_off, reference_off, molv_watchdog, slot_count };

// The order of the cases in a round. The reference goes first in odd
// rounds, MOLV in even ones; the watchdog case sits next to the reference
// without backups, before it in odd rounds and after it in even ones.
std::vector<speed_slot> round_order(const options& opt, unsigned round)
{
    const bool molv_first = round % 2 == 0;
    std::vector<speed_slot> order;
    if (opt.run_speed) {
        if (molv_first) {
            order.insert(order.end(), {molv_on, reference_on});
        } else {
            order.insert(order.end(), {reference_on, molv_on});
        }
    }
    if (molv_first) {
        order.insert(order.end(), {molv_off, reference_off});
        if (opt.run_watchdog_speed) {
            order.push_back(molv_watchdog);
        }
    } else {
        if (opt.run_watchdog_speed) {
            order.push_back(molv_watchdog);
        }
        order.insert(order.end(), {reference_off, molv_off});
    }
    return order;
}

bool run_speed(const options& opt)
{
    char folders[slot_count][4096];
    const char* names[slot_count] = {"molv_on", "reference_on", "molv_off", "reference_off",
                                     "molv_watchdog"};
    for (int i = 0; i < slot_count; ++i) {
        if (!join(folders[i], sizeof folders[i], opt.work, names[i])) {
            return false;
        }
    }
    // The server ends at once and binds no port, as a real server that is
    // still loading: MOLV's query finds nothing there and gets no answer.
    char watchdog_settings[64] = "";
    if (opt.run_watchdog_speed) {
        const unsigned port = free_udp_port();
        if (port == 0) {
            std::fprintf(stderr, "bench: no free UDP port for the watchdog case\n");
            return false;
        }
        std::snprintf(watchdog_settings, sizeof watchdog_settings, "query_port=%u\n", port);
    }
    series results_of[slot_count];
    std::vector<double> molv_rss;
    std::vector<double> reference_rss;
    for (unsigned round = 0; round < opt.rounds; ++round) {
        speed_result results[slot_count];
        for (speed_slot slot : round_order(opt, round)) {
            const bool molv = slot == molv_on || slot == molv_off || slot == molv_watchdog;
            results[slot] = speed_case(opt, molv ? supervisor::molv : supervisor::reference,
                                       slot == molv_on || slot == reference_on, folders[slot],
                                       slot == molv_watchdog ? watchdog_settings : "");
            if (!results[slot].ok) {
                return false;
            }
            add(results_of[slot], results[slot]);
        }
        molv_rss.push_back(static_cast<double>(
            std::max(results[molv_on].rss_kb,
                     std::max(results[molv_off].rss_kb, results[molv_watchdog].rss_kb))));
        reference_rss.push_back(static_cast<double>(
            std::max(results[reference_on].rss_kb, results[reference_off].rss_kb)));
        char watchdog_text[48] = "";
        if (opt.run_watchdog_speed) {
            std::snprintf(watchdog_text, sizeof watchdog_text, ", MOLV with watchdog %.0f",
                          results[molv_watchdog].rate);
        }
        if (opt.run_speed) {
            std::fprintf(stderr,
                         "  round %u/%u: restarts/s  MOLV %.0f / %.0f   reference %.0f / %.0f "
                         "(backups on / off)%s\n",
                         round + 1, opt.rounds, results[molv_on].rate, results[molv_off].rate,
                         results[reference_on].rate, results[reference_off].rate, watchdog_text);
        } else {
            std::fprintf(stderr,
                         "  round %u/%u: restarts/s  MOLV %.0f   reference %.0f (backups off)%s\n",
                         round + 1, opt.rounds, results[molv_off].rate,
                         results[reference_off].rate, watchdog_text);
        }
    }

    std::printf("\nRestart speed: %u rounds of %lu restarts per case, %lu-byte server log, "
                "MOLV and reference alternating\n",
                opt.rounds, opt.restarts, opt.log_bytes);
    std::printf("  (median [min..max] over rounds; ratio = MOLV / reference, paired by round; "
                "goal on the median ratio;\n   restarts per second and end-to-start from the "
                "median cycle of each case, CPU per restart as total / restarts%s)\n",
                opt.run_watchdog_speed ? ";\n   watchdog on: MOLV with backups off and "
                                         "query_port set, against the reference without copy"
                                       : "");
    std::printf("  %-12s %-22s %-26s %-26s %-22s  %s\n", "case", "figure", "MOLV", "reference",
                "MOLV/reference", "goal");
    struct row {
        const char* label;
        speed_slot molv;
        speed_slot reference;
    };
    std::vector<row> rows;
    if (opt.run_speed) {
        rows.push_back({"backups on", molv_on, reference_on});
    }
    rows.push_back({"backups off", molv_off, reference_off});
    if (opt.run_watchdog_speed) {
        rows.push_back({"watchdog on", molv_watchdog, reference_off});
    }
    // With the watchdog on, the goal is on the end-to-start time alone; its
    // other figures show what the query adds.
    bool met = true;
    bool watchdog_met = true;
    for (const row& each : rows) {
        const series& m = results_of[each.molv];
        const series& r = results_of[each.reference];
        const bool watchdog = each.molv == molv_watchdog;
        const double goal = watchdog ? no_goal : goal_ratio;
        const bool rate_met =
            print_row(each.label, "restarts per second", m.rate, r.rate, true, "%.0f", goal);
        const bool gap_met =
            print_row(each.label, "end-to-start (us)", m.gap, r.gap, false, "%.1f");
        const bool cpu_met =
            print_row(each.label, "CPU per restart (us)", m.cpu, r.cpu, false, "%.1f", goal);
        if (watchdog) {
            watchdog_met = gap_met;
        } else {
            met = rate_met && gap_met && cpu_met && met;
        }
    }
    std::printf("  Goal: MOLV within %.2fx of the reference on every judged ratio: %s\n",
                goal_ratio, met ? "met" : "MISSED");
    if (opt.run_watchdog_speed) {
        std::printf("  Goal: watchdog on, end-to-start within %.2fx of the reference: %s\n",
                    goal_ratio, watchdog_met ? "met" : "MISSED");
    }
    if (opt.quick) {
        std::printf("  (quick mode: too few restarts and rounds for the ratios to mean much)\n");
    }
    std::printf("  Resident memory at the end of a case: MOLV %.0f kB, reference %.0f kB "
                "(medians)\n",
                median(molv_rss), median(reference_rss));
    return true;
}

// ------------------------------------------------------------- large log

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

// -------------------------------------------------------- footprint, idle

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

long read_pid_file(const char* folder)
{
    char path[4096];
    if (!join(path, sizeof path, folder, "server.pid")) {
        return -1;
    }
    long pid = -1;
    if (FILE* file = std::fopen(path, "r")) {
        if (std::fscanf(file, "%ld", &pid) != 1) {
            pid = -1;
        }
        std::fclose(file);
    }
    return pid;
}

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

// ------------------------------------------------------------ crash loop

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

// ------------------------------------------------------- hang watchdog

void sleep_seconds(unsigned seconds)
{
    unsigned left = seconds;
    while (left > 0) {
        left = sleep(left);
    }
}

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// MOLV's seconds between two queries, as it derives them from hang_timeout.
unsigned query_interval(unsigned hang_timeout)
{
    return std::min(std::max(hang_timeout / 4, 1U), 15U);
}

// Starts MOLV with a long-running server and waits until the server has
// stopped it in its wait; the server's process id is then known. MOLV is
// left stopped.
bool start_long_running(const options& opt, launch& what, pid_t& pid, long& server)
{
    what.idle = true;
    std::snprintf(what.stop_at, sizeof what.stop_at, "1");
    pid = start_supervisor(opt, what);
    if (pid < 0 || wait_for_stop(pid, 60) != wait_outcome::stopped) {
        return false;
    }
    server = read_pid_file(what.folder);
    if (server > 0) {
        track(static_cast<pid_t>(server));
    }
    return true;
}

// Ends MOLV and its server. The server is in a session of its own and an
// orphan of the driver once MOLV is gone (it also ends with MOLV).
void end_long_running(pid_t pid, long server)
{
    if (pid > 0) {
        kill_and_reap(pid);
    }
    if (server > 0) {
        kill(static_cast<pid_t>(server), SIGKILL);
        untrack(static_cast<pid_t>(server));
    }
    reap_orphans();
}

// A server that answers for a while, then hangs and ignores SIGTERM: the
// time from its silence (and from its last answer) to the next start.
bool run_hang(const options& opt)
{
    const unsigned hang_timeout = opt.quick ? 2 : 10;
    const unsigned stop_timeout = opt.quick ? 1 : 2;
    const unsigned long answer_ms = opt.quick ? 1500 : 3000;
    const unsigned interval = query_interval(hang_timeout);
    char folder[4096];
    const unsigned port = free_udp_port();
    char general[128];
    std::snprintf(general, sizeof general, "query_port=%u\nhang_timeout=%u\nstop_timeout=%u\n",
                  port, hang_timeout, stop_timeout);
    if (port == 0 || !join(folder, sizeof folder, opt.work, "molv_hang") ||
        !prepare_folder(opt, folder, true, pacing::immediate, general)) {
        std::fprintf(stderr, "bench: cannot prepare the hang case\n");
        return false;
    }
    launch what;
    what.kind = supervisor::molv;
    what.backups = true;
    what.folder = folder;
    what.idle = true;
    what.query_port = port;
    what.answer_ms = answer_ms;
    // The instance after the last hang stops MOLV as it starts.
    std::snprintf(what.stop_at, sizeof what.stop_at, "%u", opt.hangs + 1);
    const unsigned cycle = static_cast<unsigned>(answer_ms / 1000) + hang_timeout + stop_timeout;
    std::fprintf(stderr, "  hang: %u hung servers, about %u seconds...\n", opt.hangs,
                 opt.hangs * cycle);
    pid_t pid = start_supervisor(opt, what);
    if (pid < 0) {
        return false;
    }
    const bool stopped =
        wait_for_stop(pid, (opt.hangs + 1) * (cycle + 10) + 30) == wait_outcome::stopped;
    const long server = read_pid_file(folder);
    if (server > 0) {
        track(static_cast<pid_t>(server));
    }
    const std::vector<stamp> starts = read_stamps(folder);
    const std::vector<stamp> silences = read_stamps(folder, "silence.bin");
    end_long_running(pid, server);
    const unsigned long warned = count_containing(folder, "  WARNING: Gameserver has not answered for");
    const unsigned long forced = count_containing(folder, "  WARNING: Gameserver did not stop within");
    const unsigned long ended = count_containing(folder, "  > Gameserver stopped.");
    const unsigned long restarts = count_containing(folder, "  > Restarting...");
    const unsigned long backed_up = count_containing(folder, "  > Backing up the log...");
    const unsigned long warnings = count_containing(folder, "WARNING");
    if (!stopped || starts.size() < opt.hangs + 1 || silences.size() < opt.hangs) {
        std::fprintf(stderr,
                     "bench: MOLV did not restart %u hung servers (%zu starts; see %s/out.txt)\n",
                     opt.hangs, starts.size(), folder);
        return false;
    }
    std::vector<double> from_silence;
    std::vector<double> from_answer;
    for (unsigned k = 0; k < opt.hangs; ++k) {
        from_silence.push_back(static_cast<double>(starts[k + 1].start - silences[k].start) / 1e9);
        if (silences[k].end != 0) {
            from_answer.push_back(static_cast<double>(starts[k + 1].start - silences[k].end) / 1e9);
        }
    }
    clean_folder(folder);

    const spread silence = spread_of(from_silence);
    const spread answer = spread_of(from_answer);
    const unsigned goal = hang_timeout + interval + stop_timeout + 1;
    std::printf("\nHang to next start: hang_timeout=%u (a query every %u s), stop_timeout=%u, "
                "%u hangs\n",
                hang_timeout, interval, stop_timeout, opt.hangs);
    std::printf("  (the server answers for %.1f s, then falls silent, stays up and ignores "
                "SIGTERM; from that moment,\n   and from its last answer, to the start of the "
                "next instance, on CLOCK_MONOTONIC)\n",
                static_cast<double>(answer_ms) / 1000.0);
    std::printf("  %-34s %10s %10s %10s   %s\n", "figure", "median", "min", "max", "goal");
    const bool met = silence.high <= static_cast<double>(goal);
    std::printf("  %-34s %10.3f %10.3f %10.3f   max <= %u  %s\n", "silence to next start (s)",
                silence.mid, silence.low, silence.high, goal, met ? "met" : "MISSED");
    std::printf("  %-34s %10.3f %10.3f %10.3f\n", "last answer to next start (s)", answer.mid,
                answer.low, answer.high);
    const bool all = warned == opt.hangs && forced == opt.hangs && ended == opt.hangs &&
                     restarts == opt.hangs && backed_up == opt.hangs &&
                     warnings == warned + forced && from_answer.size() == opt.hangs;
    std::printf("  Every hang was stopped by force, backed up and restarted: %s (%lu hang "
                "warnings, %lu forced,\n   %lu stopped, %lu backups, %lu restarts, %lu other "
                "warnings)\n",
                all ? "yes" : "NO", warned, forced, ended, backed_up, restarts,
                warnings - std::min(warnings, warned + forced));
    if (opt.quick) {
        std::printf("  (quick mode: shorter timeouts than the goal is set for)\n");
    }
    return true;
}

// MOLV beside a server that answers every query: the cost of the queries.
bool run_watchdog_idle(const options& opt)
{
    const unsigned hang_timeout = opt.quick ? 8 : 60;
    const unsigned interval = query_interval(hang_timeout);
    char folder[4096];
    const unsigned port = free_udp_port();
    char general[128];
    std::snprintf(general, sizeof general, "query_port=%u\nhang_timeout=%u\n", port,
                  hang_timeout);
    if (port == 0 || !join(folder, sizeof folder, opt.work, "molv_watchdog_idle") ||
        !prepare_folder(opt, folder, true, pacing::immediate, general)) {
        std::fprintf(stderr, "bench: cannot prepare the watchdog case\n");
        return false;
    }
    launch what;
    what.kind = supervisor::molv;
    what.backups = true;
    what.folder = folder;
    what.query_port = port;
    what.record_answers = true;
    pid_t pid = -1;
    long server = -1;
    const bool ready = start_long_running(opt, what, pid, server);
    snapshot before;
    snapshot after;
    std::int64_t window[2] = {0, 0};
    if (ready) {
        std::fprintf(stderr, "  watchdog beside a healthy server: %u seconds...\n",
                     opt.watchdog_seconds);
        kill(pid, SIGCONT);
        // Past the start and the first query.
        sleep(1);
        window[0] = monotonic_ns();
        before = take_snapshot(pid);
        sleep_seconds(opt.watchdog_seconds);
        after = take_snapshot(pid);
        window[1] = monotonic_ns();
    }
    end_long_running(pid, server);
    unsigned long answered = 0;
    char path[4096];
    if (FILE* file = join(path, sizeof path, folder, "answers.bin") ? std::fopen(path, "rb")
                                                                     : nullptr) {
        std::int64_t at = 0;
        while (std::fread(&at, sizeof at, 1, file) == 1) {
            answered += at >= window[0] && at <= window[1] ? 1 : 0;
        }
        std::fclose(file);
    }
    const unsigned long warnings = count_containing(folder, "WARNING");
    const unsigned long starts = read_stamps(folder).size();
    clean_folder(folder);
    if (!ready || before.cpu_ns < 0 || after.switches < 0) {
        std::fprintf(stderr, "bench: the watchdog case did not start\n");
        return false;
    }

    const std::int64_t cpu_ns = after.cpu_ns - before.cpu_ns;
    // A wake-up is a sleep that ends: a voluntary switch. The involuntary
    // ones (MOLV's core taken while it runs) are shown beside them.
    const long involuntary = after.involuntary - before.involuntary;
    const long wakeups = after.switches - before.switches - involuntary;
    const unsigned intervals = (opt.watchdog_seconds + interval - 1) / interval;
    const long wake_limit = 2L * intervals;
    const std::int64_t cpu_limit_ns = 10000000LL * opt.watchdog_seconds / 60;
    std::printf("\nWatchdog beside a healthy server: hang_timeout=%u (a query every %u s), %u "
                "seconds\n",
                hang_timeout, interval, opt.watchdog_seconds);
    std::printf("  %-12s %14s %28s %14s %18s\n", "supervisor", "CPU time (ns)",
                "wake-ups (voluntary switches)", "involuntary", "queries answered");
    std::printf("  %-12s %14" PRId64 " %28ld %14ld %18lu\n", "MOLV", cpu_ns, wakeups,
                involuntary, answered);
    std::printf("  Goal: at most %ld wake-ups (2 per query interval): %s; CPU time under %.2f ms: "
                "%s\n",
                wake_limit, wakeups <= wake_limit ? "met" : "MISSED",
                static_cast<double>(cpu_limit_ns) / 1e6, cpu_ns < cpu_limit_ns ? "met" : "MISSED");
    std::printf("  The server ran throughout, unwarned: %s (%lu start, %lu warnings)\n",
                starts == 1 && warnings == 0 ? "yes" : "NO", starts, warnings);
    if (opt.watchdog_seconds != 60 || hang_timeout != 60) {
        std::printf("  (the goal is set for 60 seconds with hang_timeout=60; here scaled)\n");
    }
    return true;
}

// ------------------------------------------------------ scheduled restart

// MOLV with a restart time that does not come in the window, beside a
// long-running server: its alarm must keep it asleep.
bool run_schedule(const options& opt)
{
    // The local time an hour ago, as HH:MM: 23 hours ahead at the earliest.
    char restart_at[16] = "";
    const std::time_t hour_ago = std::time(nullptr) - 3600;
    std::tm local{};
    if (localtime_r(&hour_ago, &local) == nullptr ||
        std::strftime(restart_at, sizeof restart_at, "%H:%M", &local) == 0) {
        return false;
    }
    char folder[4096];
    char general[64];
    std::snprintf(general, sizeof general, "restart_at=%s\n", restart_at);
    if (!join(folder, sizeof folder, opt.work, "molv_schedule") ||
        !prepare_folder(opt, folder, true, pacing::immediate, general)) {
        std::fprintf(stderr, "bench: cannot prepare the scheduled restart case\n");
        return false;
    }
    launch what;
    what.kind = supervisor::molv;
    what.backups = true;
    what.folder = folder;
    pid_t pid = -1;
    long server = -1;
    const bool ready = start_long_running(opt, what, pid, server);
    snapshot before;
    snapshot after;
    if (ready) {
        std::fprintf(stderr, "  scheduled restart at %s, idle: %u seconds...\n", restart_at,
                     opt.schedule_seconds);
        kill(pid, SIGCONT);
        // Let it finish the line after the start and settle in the wait.
        sleep(1);
        before = take_snapshot(pid);
        sleep_seconds(opt.schedule_seconds);
        after = take_snapshot(pid);
    }
    end_long_running(pid, server);
    const unsigned long scheduled = count_containing(folder, "Scheduled restart");
    const unsigned long warnings = count_containing(folder, "WARNING");
    const unsigned long starts = read_stamps(folder).size();
    clean_folder(folder);
    if (!ready || before.cpu_ns < 0 || after.switches < 0) {
        std::fprintf(stderr, "bench: the scheduled restart case did not start\n");
        return false;
    }

    const std::int64_t cpu_ns = after.cpu_ns - before.cpu_ns;
    const long wakeups = after.switches - before.switches;
    std::printf("\nScheduled restart, idle: restart_at=%s (about 23 hours ahead), %u seconds "
                "while a long-running\n  server is up\n",
                restart_at, opt.schedule_seconds);
    std::printf("  %-12s %14s %28s %14s\n", "supervisor", "CPU time (ns)",
                "wake-ups (context switches)", "involuntary");
    std::printf("  %-12s %14" PRId64 " %28ld %14ld\n", "MOLV", cpu_ns, wakeups,
                after.involuntary - before.involuntary);
    std::printf("  Goal: at most 10 wake-ups: %s; CPU time under 10 ms: %s\n",
                wakeups <= 10 ? "met" : "MISSED", cpu_ns < 10000000 ? "met" : "MISSED");
    std::printf("  The server ran throughout: %s (%lu start, %lu scheduled restarts, %lu "
                "warnings)\n",
                starts == 1 && scheduled == 0 && warnings == 0 ? "yes" : "NO", starts, scheduled,
                warnings);
    if (opt.schedule_seconds != 600) {
        std::printf("  (the goal is set for 600 seconds)\n");
    }
    return true;
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

int main(int argc, char** argv)
{
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
    if (opt.run_speed || opt.run_watchdog_speed) {
        ok = run_speed(opt) && ok;
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
    if (ok && opt.run_schedule) {
        ok = run_schedule(opt) && ok;
    }
    return ok ? 0 : 1;
}
