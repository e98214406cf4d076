// The server process: started with posix_spawn in a session of its own,
// waited for without polling, and reaped.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "text/text.h"
#include "platform/command_words.h"
#include "platform/platform.h"

extern char** environ;

namespace {

pid_t server_pid = -1;

} // namespace

bool platform_start_server(const char* exename, const char* command_line, char* reason,
                           std::size_t reason_capacity)
{
    static command_words words;
    if (!split_command_line(exename, command_line, words)) {
        copy_text(reason, reason_capacity, "the command line does not begin with the executable");
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // No input for the server, and a session of its own, so that Ctrl+C or a
    // closed terminal at the supervisor does not reach it.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    pid_t pid = -1;
    int error = posix_spawn(&pid, exename, &actions, &attributes, words.words, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        copy_text(reason, reason_capacity, std::strerror(error));
        return false;
    }
    server_pid = pid;
    return true;
}

void platform_wait_server()
{
    if (server_pid <= 0) {
        return;
    }
    int status = 0;
    while (waitpid(server_pid, &status, 0) < 0 && errno == EINTR) {
    }
    server_pid = -1;
}

void platform_sleep_seconds(unsigned seconds)
{
    timespec remaining = {static_cast<time_t>(seconds), 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void platform_pause()
{
    std::fputs("Press any key to continue . . . ", stdout);
    std::fflush(stdout);

    termios saved;
    bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
