// The restart benchmark's driver: what its parts share. Each family of rows
// of the table has a file of its own (driver_speed.cpp, driver_large_log.cpp,
// driver_footprint.cpp, driver_idle.cpp, driver_crash_loop.cpp,
// driver_watchdog.cpp, driver_schedule.cpp, driver_found.cpp); they run their cases through
// the measuring in driver_measure.cpp and the case folders and supervisors
// of driver_case.cpp. bench_driver.cpp reads the options and runs them.
#ifndef MOLV_BENCH_DRIVER_H
#define MOLV_BENCH_DRIVER_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

namespace bench {

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
    bool run_status_speed = true;
    bool run_hang = true;
    bool run_watchdog_idle = true;
    bool run_schedule = true;
    bool run_found = true;
    bool run_all_features = true;
    bool run_syscalls = true;
    bool quick = false;
};

// ------------------------------------------------------ processes, signals
// (driver_measure.cpp)

// SIGALRM ends a wait; SIGINT, SIGTERM and SIGHUP kill every tracked child.
void install_handlers();
// The driver's children, tracked from their start until they are reaped.
void track(pid_t pid);
void untrack(pid_t pid);

enum class wait_outcome { stopped, ended, too_late };

// Blocks until `pid` stops or ends, at most `seconds`.
wait_outcome wait_for_stop(pid_t pid, unsigned seconds);
void kill_and_reap(pid_t pid);
// Reaps servers that were orphaned by a killed supervisor; they end on their
// own (quick mode) or have been killed.
void reap_orphans();
void sleep_seconds(unsigned seconds);

// --------------------------------------------------------------- figures
// (driver_measure.cpp)

struct snapshot {
    std::int64_t cpu_ns = -1;
    long rss_kb = -1;
    long anon_kb = -1;
    long file_kb = -1;
    long switches = -1;
    long involuntary = -1;
    long fds = -1;
};

snapshot take_snapshot(pid_t pid);
double median(std::vector<double> values);

struct spread {
    double mid = 0.0;
    double low = 0.0;
    double high = 0.0;
};

spread spread_of(const std::vector<double>& values);

// ------------------------------------------------------------- the table
// (driver_measure.cpp)

const double goal_ratio = 1.15;

// A row without a goal of its own: its figures are shown, not judged.
const double no_goal = 0.0;

// One row: MOLV's and the other's figures and their ratio, judged on the
// median ratio against `goal` (lower is better unless `higher_is_better`).
bool print_row(const char* label, const char* figure, const std::vector<double>& molv,
               const std::vector<double>& reference, bool higher_is_better, const char* format,
               double goal = goal_ratio);

// ------------------------------------------------------------ work folders
// (driver_case.cpp)

bool join(char* out, std::size_t capacity, const char* directory, const char* name);
bool copy_file(const char* source, const char* destination, mode_t mode);
// Empties a case folder, keeping the server and the settings file.
void clean_folder(const char* folder);

inline constexpr char server_name[] = "quick_server";
inline constexpr char log_name[] = "server.log";
// The status file of the cases that set one, in the case folder.
inline constexpr char status_name[] = "molv.prom";
inline constexpr char status_setting[] = "status_file=molv.prom\n";

// How the settings file of a case treats a server that ends at once.
enum class pacing { immediate, default_settings };

// The settings of a case. The speed and footprint cases restart at once
// (min_uptime=0), as they measure the restart itself; the crash loop keeps
// every default but the server's name. `general` adds lines to [GENERAL].
bool prepare_folder(const options& opt, const char* folder, bool backups,
                    pacing pace = pacing::immediate, const char* general = "");

// ---------------------------------------------------------- one supervisor
// (driver_case.cpp)

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
    // With `idle`: the server outlives its supervisor, as a server that a
    // killed MOLV leaves running.
    bool outlive = false;
    // When set: the supervisor runs under `strace -c` with its summary
    // written to this file.
    const char* count_calls_to = nullptr;
};

pid_t start_supervisor(const options& opt, const launch& what);

struct stamp {
    std::int64_t start;
    std::int64_t end;
};

// The 16-byte records of the server: "stamps.bin" (start, end) or
// "silence.bin" (the moment of silence, the last answer).
std::vector<stamp> read_stamps(const char* folder, const char* name = "stamps.bin");

struct line_counts {
    unsigned long restarting = 0;
    unsigned long ended = 0;
    unsigned long backed_up = 0;
    unsigned long other_warnings = 0;
    // Events MOLV let pass because four event programs still ran.
    unsigned long busy_events = 0;
};

line_counts count_lines(const char* folder);
// The lines of the transcript that hold `text`.
unsigned long count_containing(const char* folder, const char* text);
unsigned long count_backups(const char* folder);
const char* kind_name(supervisor kind);
// A UDP port on 127.0.0.1 that nothing is bound to just now, or 0.
unsigned free_udp_port();
long read_pid_file(const char* folder);
// The value of the first series of `metric` in the case's status file, or -1
// when the file or the series is not there.
long long read_status_value(const char* folder, const char* metric);

// Starts MOLV with a long-running server and waits until the server has
// stopped it in its wait; the server's process id is then known. MOLV is
// left stopped.
bool start_long_running(const options& opt, launch& what, pid_t& pid, long& server);
// Ends MOLV and its server. The server is in a session of its own and an
// orphan of the driver once MOLV is gone (it also ends with MOLV).
void end_long_running(pid_t pid, long server);

// ------------------------------------------------ the families of rows
// Each runs its cases and prints its part of the table; false when a case
// did not run or its transcript did not check out.

bool run_speed(const options& opt);
bool run_large_log(const options& opt);
bool run_footprint(const options& opt);
bool run_idle(const options& opt);
bool run_crash_loop(const options& opt);
bool run_hang(const options& opt);
bool run_watchdog_idle(const options& opt);
bool run_schedule(const options& opt);
bool run_asked_restart(const options& opt);
bool run_found(const options& opt);
bool run_syscalls(const options& opt);

} // namespace bench

#endif
