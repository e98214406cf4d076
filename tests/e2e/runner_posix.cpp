// The runner's process operations on POSIX systems: fork and exec, waitpid,
// /proc for descriptors, sessions and zombies, and a pseudo-terminal.
#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utime.h>

#include "runner.h"

extern char** environ;

namespace {

// The runner's environment without any stand-in settings of its own (so
// every test says what it wants), with the launch's additions after it.
std::vector<std::string> launch_environment(const molv_launch& launch)
{
    std::vector<std::string> entries;
    for (char** at = environ; *at != nullptr; ++at) {
        if (std::strncmp(*at, "MOLV_STANDIN_", 13) != 0) {
            entries.emplace_back(*at);
        }
    }
    entries.insert(entries.end(), launch.environment.begin(), launch.environment.end());
    return entries;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(&text[0]);
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Closes every descriptor from 3 upwards, so molv starts with only what a
// shell would give it. Runs between fork and exec.
void close_other_descriptors()
{
    if (close_range(3, ~0U, 0) == 0) {
        return;
    }
    for (int fd = 3; fd < 1024; ++fd) {
        close(fd);
    }
}

// Enters `path` (absolute), one folder at a time when it is longer than the
// system takes in one call. Between fork and exec: no allocation.
bool enter_directory(const std::string& path)
{
    if (chdir(path.c_str()) == 0) {
        return true;
    }
    static char pieces[65536];
    if (errno != ENAMETOOLONG || path.size() >= sizeof pieces || path[0] != '/' ||
        chdir("/") != 0) {
        return false;
    }
    std::memcpy(pieces, path.c_str(), path.size() + 1);
    char* piece = pieces + 1;
    while (*piece != '\0') {
        char* end = piece;
        while (*end != '\0' && *end != '/') {
            ++end;
        }
        const bool last = *end == '\0';
        *end = '\0';
        if (end != piece && chdir(piece) != 0) {
            return false;
        }
        piece = last ? end : end + 1;
    }
    return true;
}

// fork(), with the child as the first process (PID 1) of a new PID
// namespace; -1 where the system refuses.
pid_t fork_in_new_pid_namespace()
{
    return static_cast<pid_t>(
        syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, nullptr, nullptr, nullptr, nullptr));
}

// Gives the calling process a mount namespace of its own with an empty /dev,
// as a minimal root has: no null device and no terminals.
bool hide_device_files()
{
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("molv-e2e", "/dev", "tmpfs", 0, "mode=0755") == 0;
}

// The end of the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_molv(const molv_launch& launch, char** arguments, char** environment)
{
    if (!enter_directory(launch.directory)) {
        _exit(126);
    }
    // The dispositions and the signal mask a shell gives a program it starts,
    // whatever the test program has.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    sigset_t no_signals;
    sigemptyset(&no_signals);
    sigprocmask(SIG_SETMASK, &no_signals, nullptr);
    if (launch.file_size_limit > 0) {
        rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(launch.file_size_limit);
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (launch.isolation == isolation_kind::no_null_device && !hide_device_files()) {
        _exit(125);
    }
    // A program that root starts gets the bounding set as its capabilities,
    // so dropping them there keeps them from molv.
    if (launch.without_read_override && geteuid() == 0 &&
        (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
         prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0)) {
        _exit(125);
    }
    close_other_descriptors();
    if (launch.inherited_descriptor >= 0) {
        const int held = open(launch.inherited_path.c_str(), O_RDWR | O_CREAT, 0644);
        if (held < 0 || (held != launch.inherited_descriptor &&
                         dup2(held, launch.inherited_descriptor) < 0)) {
            _exit(126);
        }
        if (held != launch.inherited_descriptor) {
            close(held);
        }
    }
    execve(arguments[0], arguments, environment);
    _exit(127);
}

// The reader of `molv | head -n N`: copies `lines` lines from `from` to `to`
// and ends, which closes the last reading end of the pipe.
[[noreturn]] void read_lines_and_leave(int from, int to, unsigned lines)
{
    char buffer[4096];
    while (lines > 0) {
        const ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        std::size_t take = 0;
        while (take < static_cast<std::size_t>(got) && lines > 0) {
            if (buffer[take++] == '\n') {
                --lines;
            }
        }
        if (write(to, buffer, take) != static_cast<ssize_t>(take)) {
            break;
        }
    }
    _exit(0);
}

void collect_reader(molv_process& process)
{
    if (process.reader_id <= 0) {
        return;
    }
    kill(static_cast<pid_t>(process.reader_id), SIGKILL);
    while (waitpid(static_cast<pid_t>(process.reader_id), nullptr, 0) < 0 && errno == EINTR) {
    }
    process.reader_id = -1;
}

int open_output(const std::string& path)
{
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

void record_status(molv_process& process, int status)
{
    process.ended = true;
    process.exited = WIFEXITED(status);
    process.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    process.end_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// The children of a process as /proc shows them, all or only the ended ones.
int count_children(long id, bool ended_only)
{
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return -1;
    }
    int children = 0;
    while (const dirent* entry = readdir(processes)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        std::string stat = read_file(std::string("/proc/") + entry->d_name + "/stat");
        // "pid (name) state parent ...": the name may hold anything, so the
        // fields are read after its last parenthesis.
        std::size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) {
            continue;
        }
        char state = '\0';
        long parent = 0;
        if (std::sscanf(stat.c_str() + close_paren + 1, " %c %ld", &state, &parent) == 2 &&
            parent == id && (!ended_only || state == 'Z')) {
            ++children;
        }
    }
    closedir(processes);
    return children;
}

bool read_link(const std::string& path, std::string& target)
{
    char buffer[PATH_MAX];
    ssize_t length = readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (length < 0) {
        return false;
    }
    target.assign(buffer, static_cast<std::size_t>(length));
    return true;
}

} // namespace

bool start_molv(const molv_launch& launch, molv_process& process)
{
    std::vector<std::string> argument_texts = launch.wrapper;
    argument_texts.push_back(molv_program);
    argument_texts.insert(argument_texts.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<char*> arguments = pointers_to(argument_texts);
    std::vector<std::string> environment_texts = launch_environment(launch);
    std::vector<char*> environment = pointers_to(environment_texts);

    int output = open_output(launch.output_path);
    if (output < 0) {
        return false;
    }
    process = molv_process{};
    // molv writes into the pipe; the reader, a process of its own, takes
    // what it wants and goes.
    int pipe_ends[2] = {-1, -1};
    if (launch.reader_lines > 0) {
        if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
            close(output);
            return false;
        }
        const pid_t reader = fork();
        if (reader == 0) {
            close(pipe_ends[1]);
            read_lines_and_leave(pipe_ends[0], output, launch.reader_lines);
        }
        close(pipe_ends[0]);
        if (reader < 0) {
            close(pipe_ends[1]);
            close(output);
            return false;
        }
        process.reader_id = reader;
    }
    const int molv_output = launch.reader_lines > 0 ? pipe_ends[1] : output;
    const pid_t pid = launch.isolation == isolation_kind::pid_namespace
                          ? fork_in_new_pid_namespace()
                          : fork();
    if (pid == 0) {
        if (launch.standard_closed) {
            close(STDIN_FILENO);
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
        } else {
            if (launch.input == input_kind::closed) {
                close(STDIN_FILENO);
            } else {
                int null_device = open("/dev/null", O_RDONLY);
                if (null_device < 0 || dup2(null_device, STDIN_FILENO) < 0) {
                    _exit(126);
                }
            }
            if (dup2(molv_output, STDOUT_FILENO) < 0 || dup2(molv_output, STDERR_FILENO) < 0) {
                _exit(126);
            }
        }
        exec_molv(launch, arguments.data(), environment.data());
    }
    close(output);
    if (pipe_ends[1] >= 0) {
        close(pipe_ends[1]);
    }
    if (pid < 0) {
        collect_reader(process);
        return false;
    }
    process.id = pid;
    return true;
}

bool wait_for_end(molv_process& process, double seconds)
{
    if (process.ended || process.id <= 0) {
        return process.ended;
    }
    return wait_until(
        [&process] {
            int status = 0;
            pid_t got = waitpid(static_cast<pid_t>(process.id), &status, WNOHANG);
            if (got == static_cast<pid_t>(process.id)) {
                record_status(process, status);
            }
            return process.ended;
        },
        seconds);
}

bool wait_for_reader_end(molv_process& process, double seconds)
{
    return wait_until(
        [&process] {
            if (process.reader_id > 0 &&
                waitpid(static_cast<pid_t>(process.reader_id), nullptr, WNOHANG) ==
                    static_cast<pid_t>(process.reader_id)) {
                process.reader_id = -1;
            }
            return process.reader_id <= 0;
        },
        seconds);
}

void stop_molv(molv_process& process)
{
    collect_reader(process);
    if (process.ended || process.id <= 0) {
        return;
    }
    kill(static_cast<pid_t>(process.id), SIGKILL);
    int status = 0;
    while (waitpid(static_cast<pid_t>(process.id), &status, 0) < 0) {
        if (errno != EINTR) {
            return;
        }
    }
    record_status(process, status);
}

long own_process_id()
{
    return static_cast<long>(getpid());
}

int open_descriptor_count(long id)
{
    std::string path = "/proc/" + std::to_string(id) + "/fd";
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(directory);
    return count;
}

long session_of(long id)
{
    return static_cast<long>(getsid(static_cast<pid_t>(id)));
}

int zombie_children(long id)
{
    return count_children(id, true);
}

int child_processes(long id)
{
    return count_children(id, false);
}

std::string isolation_refused(isolation_kind isolation)
{
    if (isolation == isolation_kind::none) {
        return "";
    }
    // The trial runs in a child, which exits with the error number.
    const pid_t trial = fork();
    if (trial == 0) {
        if (isolation == isolation_kind::no_null_device) {
            _exit(hide_device_files() ? 0 : errno);
        }
        const pid_t first = fork_in_new_pid_namespace();
        if (first == 0) {
            _exit(0);
        }
        if (first < 0) {
            _exit(errno);
        }
        int status = 0;
        while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : ECHILD);
    }
    if (trial < 0) {
        return std::string("no process for the trial: ") + std::strerror(errno);
    }
    int status = 0;
    while (waitpid(trial, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return "";
    }
    const std::string what = isolation == isolation_kind::pid_namespace
                                 ? "a new PID namespace"
                                 : "a mount namespace with an empty /dev";
    return "this system refuses " + what + ": " +
           (WIFEXITED(status) ? std::strerror(WEXITSTATUS(status)) : "the trial was killed");
}

void stop_server(long id, const std::string& directory)
{
    if (id <= 0 || kill(static_cast<pid_t>(id), 0) != 0) {
        return;
    }
    std::string where;
    char* real_directory = realpath(directory.c_str(), nullptr);
    bool here = real_directory != nullptr &&
                read_link("/proc/" + std::to_string(id) + "/cwd", where) && where == real_directory;
    std::free(real_directory);
    if (!here) {
        return;
    }
    // The server leads its own session and process group; anything it
    // started goes with it. A killed process still runs until the system
    // gets round to ending it, which on a busy machine takes a while; so the
    // end is waited for (a pidfd turns readable with it), and a molv started
    // next never finds the server still there.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(id), 0));
    kill(-static_cast<pid_t>(id), SIGKILL);
    kill(static_cast<pid_t>(id), SIGKILL);
    if (pidfd >= 0) {
        pollfd end = {pidfd, POLLIN, 0};
        while (poll(&end, 1, 60000) < 0 && errno == EINTR) {
        }
        close(pidfd);
    }
}

void stop_programs_in(const std::string& directory)
{
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(processes)) {
        char* end = nullptr;
        const long id = std::strtol(entry->d_name, &end, 10);
        if (id > 0 && *end == '\0' && id != static_cast<long>(getpid())) {
            stop_server(id, directory);
        }
    }
    closedir(processes);
}

bool run_in_terminal(const molv_launch& launch, double seconds, terminal_run& result)
{
    result = terminal_run{};
    int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) {
        if (terminal >= 0) {
            close(terminal);
        }
        return false;
    }
    char terminal_name[128];
    if (ptsname_r(terminal, terminal_name, sizeof terminal_name) != 0) {
        close(terminal);
        return false;
    }
    // The runner holds the other side open until the child has it too: a
    // terminal whose other side was never opened reads as ended.
    int held_side = open(terminal_name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (held_side < 0) {
        close(terminal);
        return false;
    }
    std::vector<std::string> argument_texts = {molv_program};
    std::vector<char*> arguments = pointers_to(argument_texts);
    std::vector<std::string> environment_texts = launch_environment(launch);
    std::vector<char*> environment = pointers_to(environment_texts);

    pid_t pid = fork();
    if (pid == 0) {
        // A new session whose controlling terminal is the pseudo-terminal.
        setsid();
        int side = open(terminal_name, O_RDWR);
        if (side < 0 || dup2(side, STDIN_FILENO) < 0 || dup2(side, STDOUT_FILENO) < 0 ||
            dup2(side, STDERR_FILENO) < 0) {
            _exit(126);
        }
        exec_molv(launch, arguments.data(), environment.data());
    }
    close(held_side);
    if (pid < 0) {
        close(terminal);
        return false;
    }

    std::string raw;
    bool answered = false;
    // molv takes the terminal out of line editing once it waits for the key;
    // the answer comes then, when it meets the waiting molv.
    const auto waits_for_key = [terminal] {
        termios settings;
        return tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & ICANON) == 0;
    };
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    while (std::chrono::steady_clock::now() < deadline) {
        if (!answered && raw.find("Press any key to continue . . . ") != std::string::npos &&
            waits_for_key()) {
            if (launch.prompt_signal != 0) {
                answered = kill(pid, launch.prompt_signal) == 0;
            } else {
                answered = write(terminal, launch.prompt_keys.data(), launch.prompt_keys.size()) ==
                           static_cast<ssize_t>(launch.prompt_keys.size());
            }
        }
        pollfd watch = {terminal, POLLIN, 0};
        int ready = poll(&watch, 1, 20);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            // EIO: every descriptor of the terminal's other side is closed.
            result.ended = true;
            break;
        }
        raw.append(buffer, static_cast<std::size_t>(got));
    }
    // The settings of the other side, which this side reads as its own.
    termios after;
    result.terminal_usable = tcgetattr(terminal, &after) == 0 && (after.c_lflag & ICANON) != 0 &&
                             (after.c_lflag & ECHO) != 0;
    close(terminal);
    if (!result.ended) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (result.ended && WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    }
    if (result.ended && WIFSIGNALED(status)) {
        result.end_signal = WTERMSIG(status);
    }
    // The terminal turns every line end into CR LF.
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) {
            result.output += raw[i];
        }
    }
    return result.ended;
}

void prepare_test_run()
{
}

unsigned free_udp_port()
{
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return 0;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    unsigned port = 0;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(probe);
    return port;
}

bool make_temporary_directory(std::string& path)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/molv-e2e-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        return false;
    }
    char* real = realpath(pattern.c_str(), nullptr);
    if (real == nullptr) {
        return false;
    }
    path = real;
    std::free(real);
    return true;
}

bool set_modified_ago(const std::string& path, long long seconds)
{
    const std::time_t then = std::time(nullptr) - static_cast<std::time_t>(seconds);
    const utimbuf times = {then, then};
    return utime(path.c_str(), &times) == 0;
}

std::string read_output(const std::string& path)
{
    // Line ends are "\n" already; a stray carriage return stays and shows.
    return read_file(path);
}

std::string pause_prompt()
{
    // molv's own pause: the prompt, and the line end once input has ended.
    return "Press any key to continue . . . \n";
}

std::vector<std::string> expected_server_arguments(const std::string& exename,
                                                   const std::string& command_line)
{
    std::vector<std::string> arguments = {exename};
    const std::vector<std::string> rest =
        blank_separated_words(command_line.substr(std::min(exename.size(), command_line.size())));
    arguments.insert(arguments.end(), rest.begin(), rest.end());
    return arguments;
}

std::string full_path_of(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return "";
    }
    const std::string full = real;
    std::free(real);
    return full;
}

std::string metrics_problems(const std::string& path)
{
    const std::string command =
        "command -v promtool >/dev/null || { echo \"promtool not found: Debian's prometheus "
        "package brings it (scripts/setup-debian.sh)\"; exit 1; }; promtool check metrics < '" +
        path + "' 2>&1";
    std::FILE* run = popen(command.c_str(), "r");
    if (run == nullptr) {
        return std::string("promtool could not be run: ") + std::strerror(errno);
    }
    std::string said;
    char piece[512];
    for (std::size_t got; (got = std::fread(piece, 1, sizeof piece, run)) > 0;) {
        said.append(piece, got);
    }
    const int status = pclose(run);
    if (status == 0 && said.empty()) {
        return "";
    }
    return said.empty() ? "promtool check metrics failed" : said;
}
