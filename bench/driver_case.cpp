// One case of the benchmark: its folder and settings file, the supervisor
// started in it, and what the server and the supervisor leave there.
#include "driver.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace bench {

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

// What MOLV composes from the settings below (standard mode, defaults).
const char server_argument[] = "DXMP_Area51_Bunker?Game=DeusEx.DeathMatchGame?-server?"
                               "log=server.log?MaxPlayers=10?";

bool prepare_folder(const options& opt, const char* folder, bool backups,
                    pacing pace, const char* general)
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
    setenv("BENCH_OUTLIVE", what.outlive ? "1" : "0", 1);
    struct sigaction action{};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGALRM, &action, nullptr);

    // Under strace: its words first, then the supervisor's.
    char* args[16] = {};
    int count = 0;
    if (what.count_calls_to != nullptr) {
        for (const char* word : {"/usr/bin/strace", "-c", "-o", what.count_calls_to}) {
            args[count++] = const_cast<char*>(word);
        }
    }
    if (what.kind == supervisor::molv) {
        args[count++] = const_cast<char*>(opt.molv);
    } else {
        for (const char* word : {opt.reference, static_cast<const char*>(server_name),
                                 static_cast<const char*>(log_name), what.backups ? "1" : "0", "0",
                                 server_argument}) {
            args[count++] = const_cast<char*>(word);
        }
    }
    execv(args[0], args);
    _exit(127);
}

std::vector<stamp> read_stamps(const char* folder, const char* name)
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
        } else if (std::strstr(line, "  WARNING: The on_event program is still busy") != nullptr) {
            ++counts.busy_events;
        } else if (std::strstr(line, "WARNING") != nullptr) {
            ++counts.other_warnings;
        }
    }
    std::fclose(file);
    return counts;
}

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

long long read_status_value(const char* folder, const char* metric)
{
    char path[4096];
    FILE* file = join(path, sizeof path, folder, status_name) ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) {
        return -1;
    }
    const std::size_t length = std::strlen(metric);
    long long value = -1;
    // Long enough for a series line with the folder label of a case folder.
    char line[8192];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, metric, length) == 0 && line[length] == '{') {
            const char* end = std::strstr(line, "} ");
            if (end == nullptr || std::sscanf(end + 2, "%lld", &value) != 1) {
                value = -1;
            }
            break;
        }
    }
    std::fclose(file);
    return value;
}

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

} // namespace bench
