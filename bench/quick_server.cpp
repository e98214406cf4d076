// A stand-in for the dedicated server, used by the restart benchmark.
//
// It takes the server's command line (the log name follows "log=" up to the
// next '?'), writes a log of BENCH_LOG_BYTES bytes (65536 by default) and
// ends at once. Each instance appends one 16-byte record to the stamp file
// (BENCH_STAMPS, "stamps.bin" by default): its start and its end on
// CLOCK_MONOTONIC, in nanoseconds. Instances run one after the other, so the
// number of records already there tells an instance which one it is.
//
// Further settings, all from the environment:
//   BENCH_STOP_AT  comma-separated instance numbers at whose start the
//                  supervisor (the parent) is stopped with SIGSTOP, so that
//                  the benchmark can read its figures at that point (once
//                  the supervisor sleeps in its wait for this server);
//   BENCH_IDLE     "1": write the process id to BENCH_PID ("server.pid")
//                  and run until killed or until the supervisor ends; such
//                  an instance appends its record at once, its start twice;
//   BENCH_OUTLIVE  with BENCH_IDLE, "1": run on when the supervisor ends
//   BENCH_QUERY_PORT  with BENCH_IDLE, the UDP port on 127.0.0.1 on which
//                  the instance answers every "\info\" query it receives;
//   BENCH_ANSWER_MS   with BENCH_QUERY_PORT, answer only this long after the
//                  start, then fall silent and hang: stay alive, answer
//                  nothing and ignore SIGTERM. The moment it falls silent
//                  and the time of its last answer (both CLOCK_MONOTONIC,
//                  nanoseconds) go as one 16-byte record to BENCH_SILENCE
//                  ("silence.bin");
//   BENCH_ANSWERS  with BENCH_QUERY_PORT, a file to which the time of every
//                  answer is appended (8 bytes, CLOCK_MONOTONIC), just
//                  before it is sent;
//   BENCH_SWEEP    every this many instances, remove the dated backups from
//                  the current directory (keeps long runs from filling it);
//   BENCH_KEEP_LOG "1": leave the log as it is (a large log prepared once).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char log_data[1 << 20];

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

const char* setting(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

void log_name(int argc, char** argv, char* out, std::size_t capacity)
{
    std::snprintf(out, capacity, "%s", "server.log");
    for (int i = 1; i < argc; ++i) {
        const char* at = std::strstr(argv[i], "log=");
        if (at == nullptr) {
            continue;
        }
        at += 4;
        std::size_t length = std::strcspn(at, "?");
        if (length == 0 || length >= capacity) {
            return;
        }
        std::memcpy(out, at, length);
        out[length] = '\0';
        return;
    }
}

bool write_all(int fd, const char* data, std::size_t count)
{
    while (count > 0) {
        ssize_t written = write(fd, data, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

bool in_list(const char* list, unsigned long value)
{
    const char* at = list;
    while (*at != '\0') {
        char* end = nullptr;
        unsigned long item = std::strtoul(at, &end, 10);
        if (end == at) {
            return false;
        }
        if (item == value) {
            return true;
        }
        at = *end == ',' ? end + 1 : end;
    }
    return false;
}

// A dated backup: "d.m.yyyy__HH_MM_SS[-n].log".
bool is_backup_name(const char* name)
{
    std::size_t length = std::strlen(name);
    return std::strstr(name, "__") != nullptr && length > 4 &&
           std::strcmp(name + length - 4, ".log") == 0 && name[0] >= '1' && name[0] <= '9';
}

void sweep_backups()
{
    DIR* directory = opendir(".");
    if (directory == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(directory)) {
        if (is_backup_name(entry->d_name)) {
            unlink(entry->d_name);
        }
    }
    closedir(directory);
}

// Waits (at most about a second) until the parent sleeps in its wait for
// this server, so that it is always stopped at the same quiet point of its
// cycle, with nothing of the launch still mapped.
void await_parent_wait(pid_t parent)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/wchan", static_cast<long>(parent));
    for (int tries = 0; tries < 10000; ++tries) {
        char text[64] = "";
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        ssize_t got = read(fd, text, sizeof text - 1);
        close(fd);
        if (got <= 0) {
            return;
        }
        text[got] = '\0';
        // "do_wait" in waitpid; "poll_schedule_timeout" in a poll that
        // watches the server's end among other things.
        if (std::strstr(text, "wait") != nullptr || std::strstr(text, "poll") != nullptr) {
            return;
        }
        timespec pause_time = {0, 100000};
        nanosleep(&pause_time, nullptr);
    }
}

void write_log(int argc, char** argv)
{
    if (std::strcmp(setting("BENCH_KEEP_LOG", "0"), "1") == 0) {
        return;
    }
    char name[256];
    log_name(argc, argv, name, sizeof name);
    std::size_t bytes = std::strtoul(setting("BENCH_LOG_BYTES", "65536"), nullptr, 10);
    if (bytes > sizeof log_data) {
        bytes = sizeof log_data;
    }
    std::memset(log_data, 'x', bytes);
    int log = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log >= 0) {
        write_all(log, log_data, bytes);
        close(log);
    }
}

void append_record(const char* path, const std::int64_t* values, std::size_t count)
{
    int out = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out >= 0) {
        write_all(out, reinterpret_cast<const char*>(values), count * sizeof *values);
        close(out);
    }
}

// The query socket on 127.0.0.1, or -1. The previous instance has been
// collected before this one starts, so the port is free again.
int open_query_port(unsigned long port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "quick_server: cannot bind UDP port %lu: %s\n", port,
                     std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Answers queries until `silent_at` (0: for ever). Returns the time of the
// last answer, 0 if there was none.
std::int64_t answer_queries(int fd, std::int64_t silent_at, const char* answers)
{
    static const char reply[] = "\\hostname\\quick_server\\mapname\\DXMP_Area51_Bunker"
                                "\\numplayers\\0\\maxplayers\\10\\final\\";
    std::int64_t last_answer = 0;
    for (;;) {
        int timeout_ms = -1;
        if (silent_at != 0) {
            std::int64_t left = silent_at - monotonic_ns();
            if (left <= 0) {
                return last_answer;
            }
            timeout_ms = static_cast<int>((left + 999999) / 1000000);
        }
        pollfd watched = {fd, POLLIN, 0};
        if (poll(&watched, 1, timeout_ms) <= 0) {
            continue;
        }
        char datagram[1500];
        sockaddr_in sender{};
        socklen_t sender_length = sizeof sender;
        ssize_t got = recvfrom(fd, datagram, sizeof datagram, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&sender), &sender_length);
        // A query that comes in the last instant before the silence is
        // left unanswered, as a server that hangs just then would leave it.
        if (got < 6 || std::memcmp(datagram, "\\info\\", 6) != 0 ||
            (silent_at != 0 && monotonic_ns() >= silent_at)) {
            continue;
        }
        // Recorded first, so that the server has nothing left to do once
        // the supervisor wakes to the answer.
        last_answer = monotonic_ns();
        if (answers[0] != '\0') {
            append_record(answers, &last_answer, 1);
        }
        sendto(fd, reply, sizeof reply - 1, 0, reinterpret_cast<const sockaddr*>(&sender),
               sender_length);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::int64_t started = monotonic_ns();
    const char* stamps = setting("BENCH_STAMPS", "stamps.bin");

    struct stat info{};
    unsigned long instance = 1;
    if (stat(stamps, &info) == 0) {
        instance = static_cast<unsigned long>(info.st_size) / 16 + 1;
    }
    const bool idle = std::strcmp(setting("BENCH_IDLE", "0"), "1") == 0;
    const unsigned long query_port =
        idle ? std::strtoul(setting("BENCH_QUERY_PORT", "0"), nullptr, 10) : 0;
    const unsigned long answer_ms =
        query_port != 0 ? std::strtoul(setting("BENCH_ANSWER_MS", "0"), nullptr, 10) : 0;
    const pid_t parent = getppid();
    int query = -1;
    if (idle) {
        // A long-running server never outlives its supervisor, unless it
        // is to be found again by the next.
        if (std::strcmp(setting("BENCH_OUTLIVE", "0"), "1") != 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
            if (getppid() != parent) {
                return 0;
            }
        }
        if (answer_ms != 0) {
            // A hung server does not react to a request to stop.
            signal(SIGTERM, SIG_IGN);
        }
        FILE* pid_file = std::fopen(setting("BENCH_PID", "server.pid"), "w");
        if (pid_file != nullptr) {
            std::fprintf(pid_file, "%ld\n", static_cast<long>(getpid()));
            std::fclose(pid_file);
        }
        // Its record goes out now: the next instance counts on it.
        const std::int64_t record[2] = {started, started};
        append_record(stamps, record, 2);
        if (query_port != 0) {
            query = open_query_port(query_port);
        }
        // Written before any stop, so that the log is there to back up
        // whenever the supervisor ends this instance.
        write_log(argc, argv);
    }

    if (in_list(setting("BENCH_STOP_AT", ""), instance)) {
        await_parent_wait(parent);
        kill(parent, SIGSTOP);
    }
    unsigned long sweep = std::strtoul(setting("BENCH_SWEEP", "0"), nullptr, 10);
    if (sweep > 0 && instance % sweep == 0) {
        sweep_backups();
    }

    if (idle) {
        if (query >= 0) {
            const std::int64_t silent_at =
                answer_ms != 0 ? started + static_cast<std::int64_t>(answer_ms) * 1000000 : 0;
            const std::int64_t last_answer =
                answer_queries(query, silent_at, setting("BENCH_ANSWERS", ""));
            const std::int64_t record[2] = {monotonic_ns(), last_answer};
            append_record(setting("BENCH_SILENCE", "silence.bin"), record, 2);
            // The socket stays open: queries still arrive, and go unanswered.
        }
        for (;;) {
            pause();
        }
    }

    write_log(argc, argv);
    const std::int64_t record[2] = {started, monotonic_ns()};
    append_record(stamps, record, 2);
    return 0;
}
