// The bare restart loop that the benchmark holds MOLV against: the least
// work that the same job needs, written straight on the system calls.
//
//   reference_loop EXENAME LOGFILE BACKUPS RESTARTS [ARGUMENT...]
//
// Starts EXENAME (with the given arguments) in a session of its own with
// standard input on /dev/null, waits for it, prints the same stamped status
// lines as MOLV and, when BACKUPS is 1, copies LOGFILE to a new dated file
// ("d.m.yyyy__HH_MM_SS.log", "-2", "-3"... when taken), never replacing one.
// Ends after RESTARTS ends of the server (0: runs until stopped by a signal).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

void status_line(const char* message)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (const std::tm* converted = std::localtime(&now)) {
        local = *converted;
    }
    char line[160];
    int length = std::snprintf(line, sizeof line, "[%02d:%02d:%02d] %s\n", local.tm_hour,
                               local.tm_min, local.tm_sec, message);
    if (length <= 0) {
        return;
    }
    std::size_t count = static_cast<std::size_t>(length) < sizeof line
                            ? static_cast<std::size_t>(length)
                            : sizeof line - 1;
    while (write(STDOUT_FILENO, line, count) < 0 && errno == EINTR) {
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

enum class copied { yes, taken, no_source, failed };

copied copy_new(const char* source, const char* destination)
{
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return copied::no_source;
    }
    int out = open(destination, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        int error = errno;
        close(in);
        return error == EEXIST ? copied::taken : copied::failed;
    }
    static char buffer[65536];
    bool good = true;
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            good = got == 0;
            break;
        }
        if (!write_all(out, buffer, static_cast<std::size_t>(got))) {
            good = false;
            break;
        }
    }
    close(in);
    good = close(out) == 0 && good;
    if (!good) {
        unlink(destination);
        return copied::failed;
    }
    return copied::yes;
}

// The previous backup's second and suffix, so that ends within one second do
// not probe every name already taken.
std::time_t previous_second = -1;
unsigned previous_suffix = 0;

void backup(const char* logfile)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (const std::tm* converted = std::localtime(&now)) {
        local = *converted;
    }
    unsigned suffix = now == previous_second ? previous_suffix + 1 : 1;
    copied result = copied::failed;
    for (;; ++suffix) {
        char name[64];
        char tail[16] = "";
        if (suffix > 1) {
            std::snprintf(tail, sizeof tail, "-%u", suffix);
        }
        std::snprintf(name, sizeof name, "%d.%d.%d__%02d_%02d_%02d%s.log", local.tm_mday,
                      local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min,
                      local.tm_sec, tail);
        result = copy_new(logfile, name);
        if (result != copied::taken) {
            break;
        }
    }
    if (result == copied::yes) {
        previous_second = now;
        previous_suffix = suffix;
    }
    status_line(result == copied::no_source ? "  WARNING: Logfile not found."
                                            : "  > Backing up the log...");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fputs("usage: reference_loop EXENAME LOGFILE BACKUPS RESTARTS [ARGUMENT...]\n",
                   stderr);
        return 2;
    }
    const char* exename = argv[1];
    const char* logfile = argv[2];
    bool backups = argv[3][0] == '1';
    unsigned long restarts = std::strtoul(argv[4], nullptr, 10);

    // The server's argument vector: the name, then the given arguments.
    char* server_argv[64];
    int count = 0;
    server_argv[count++] = argv[1];
    for (int i = 5; i < argc && count < 63; ++i) {
        server_argv[count++] = argv[i];
    }
    server_argv[count] = nullptr;

    bool first = true;
    for (unsigned long ended = 0; restarts == 0 || ended < restarts; ++ended) {
        status_line(first ? "  > Starting gameserver..." : "  > Restarting...");
        first = false;

        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        pid_t pid = -1;
        int error = posix_spawn(&pid, exename, &actions, &attributes, server_argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (error != 0) {
            std::fprintf(stderr, "reference_loop: cannot start %s: %s\n", exename,
                         std::strerror(error));
            return 1;
        }
        status_line("  > Gameserver is now running.");

        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        status_line("  WARNING: Server crashed or closed!");
        if (backups) {
            backup(logfile);
        }
    }
    return 0;
}
