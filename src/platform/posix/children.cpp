// Every child MOLV starts, the server and the on_event programs alike, and
// their collection when they end. Whoever starts a child hands its process
// id here; collecting it frees its place.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/wait.h>

#include "platform/platform.h"
#include "platform/posix/children.h"

namespace {

// The running server's process id, -1 while none runs. The stop handler
// reads it, hence the type.
volatile sig_atomic_t server_pid = -1;

// Whether the server started last has ended and been collected, and how.
bool server_done = true;
int server_status = 0;
server_end last_end = {};

// A server found again: not a child, its end known from a pidfd.
bool server_found = false;
int found_pidfd = -1;

// The event programs that still run; 0 marks a free place.
pid_t running[event_program_capacity] = {};

// Whether the last look for ended children found MOLV without any child.
bool childless = false;

server_end end_of(int status)
{
    server_end end = {};
    if (WIFSIGNALED(status)) {
        end.by_signal = true;
        end.code = static_cast<unsigned long>(WTERMSIG(status));
    } else {
        end.code = static_cast<unsigned long>(WEXITSTATUS(status));
    }
    return end;
}

// Forgets an on_event program that has ended.
void forget_event_program(pid_t pid)
{
    for (pid_t& place : running) {
        if (place == pid) {
            place = 0;
        }
    }
}

} // namespace

void keep_server(pid_t pid)
{
    server_pid = pid;
    server_done = false;
    server_found = false;
}

void keep_found_server(pid_t pid, int pidfd)
{
    keep_server(pid);
    server_found = true;
    found_pidfd = pidfd;
}

bool server_is_found()
{
    return server_found && !server_done;
}

int take_found_pidfd()
{
    const int pidfd = found_pidfd;
    found_pidfd = -1;
    return pidfd;
}

void note_found_server_ended()
{
    server_done = true;
    server_status = 0;
}

void forget_server()
{
    server_pid = -1;
    server_done = true;
    server_status = 0;
    server_found = false;
}

bool is_event_program(pid_t pid)
{
    for (pid_t place : running) {
        if (place == pid) {
            return true;
        }
    }
    return false;
}

pid_t running_server()
{
    return static_cast<pid_t>(server_pid);
}

bool server_collected()
{
    return server_done;
}

void note_server_vanished()
{
    server_done = true;
    server_status = 0;
}

// Notes a child that has ended: the server's end is kept for the wait, an
// event program is forgotten, an orphan simply goes.
void note_ended_child(pid_t ended, int status)
{
    if (ended == static_cast<pid_t>(server_pid) && !server_done) {
        server_done = true;
        server_status = status;
    } else {
        forget_event_program(ended);
    }
}

void release_server()
{
    last_end = end_of(server_status);
    last_end.unknown = server_found;
    server_found = false;
    server_pid = -1;
}

// Any child may end, not only the server: a container's first process
// inherits the server's orphans and must collect them too, and on_event
// programs are collected as they end.
void collect_children()
{
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended <= 0) {
            childless = ended < 0 && errno == ECHILD;
            return;
        }
        note_ended_child(ended, status);
    }
}

bool no_children_left()
{
    return childless;
}

unsigned event_programs_kept()
{
    unsigned count = 0;
    for (pid_t place : running) {
        count += place != 0 ? 1 : 0;
    }
    return count;
}

pid_t own_pid()
{
    static pid_t self = getpid();
    return self;
}

bool event_program_room()
{
    for (pid_t place : running) {
        if (place == 0) {
            return true;
        }
    }
    return false;
}

void keep_event_program(pid_t pid)
{
    for (pid_t& place : running) {
        if (place == 0) {
            place = pid;
            return;
        }
    }
}

unsigned long platform_server_id()
{
    return server_pid > 0 ? static_cast<unsigned long>(server_pid) : 0;
}

server_end platform_last_server_end()
{
    return last_end;
}

unsigned platform_event_programs_running()
{
    collect_children();
    return event_programs_kept();
}

// Whether every child of MOLV is one of its event programs, by the list of
// children the system keeps for MOLV's one thread; false when that list
// cannot be read whole. Whatever the server left is MOLV's child or a
// descendant of one, as MOLV is the subreaper of all of it.
bool only_event_programs_left()
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(own_pid()));
    const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    char list[512];
    const ssize_t got = read(descriptor, list, sizeof list);
    close(descriptor);
    if (got < 0 || static_cast<std::size_t>(got) >= sizeof list) {
        return false;
    }
    pid_t child = 0;
    for (ssize_t at = 0; at < got; ++at) {
        if (list[at] >= '0' && list[at] <= '9') {
            child = child * 10 + (list[at] - '0');
        } else if (child != 0) {
            if (!is_event_program(child)) {
                return false;
            }
            child = 0;
        }
    }
    return child == 0 || is_event_program(child);
}
