// The few facts and actions of the stand-in server that differ between
// systems; standin_posix.cpp and standin_win32.cpp provide them.
#pragma once

#include <cstddef>
#include <string>

// What the stand-in learns about the process it runs in.
struct standin_facts {
    unsigned long process_id;
    // The session the process belongs to, as a number in text.
    char session[32];
    // "1" when the process leads its session, "0" when not, "-" where the
    // system has no such notion.
    char leader[4];
    // "1" when standard input is the null device, "0" when not, "-" where
    // it cannot be told.
    char input_null[4];
    // The dispositions of SIGPIPE and SIGXFSZ: "default", "ignored" or
    // "caught"; "-" where there are no signals.
    char sigpipe[12];
    char sigxfsz[12];
    // The number of blocked signals, "-" where there are none.
    char blocked[12];
    // The open descriptors, "0,1,2" for example; "-" where it cannot be told.
    char descriptors[200];
};

void standin_read_facts(standin_facts& facts);

// The command line exactly as the system handed it over: the single text on
// Windows, the argument words joined by one blank elsewhere.
std::string standin_command_line(int argc, char** argv);

void standin_sleep_ms(unsigned milliseconds);

// Returns body(context) as the process's exit status; with `other_thread`,
// on Windows, the body runs in a thread of its own while the first thread
// ends at once, and the process ends with the body.
int standin_run(bool other_thread, int (*body)(void*), void* context);

// Ends the process the way a crash does: killed by a signal, or terminated
// from outside with a failure code where there are no signals.
[[noreturn]] void standin_die_by_signal();

// Ends the process through abort(), without leaving a core file behind.
[[noreturn]] void standin_abort();

// Leaves behind a process that ends soon after the stand-in, as a server's
// helper does when its server is gone; does nothing where that cannot be.
void standin_leave_orphan();

// Appends `text` to the file at `path` with one write at the end of the
// file, so that processes appending at the same moment do not mix their
// lines; creates the file when it is missing.
bool standin_append(const std::string& path, const std::string& text);

// True when the process with this id still exists; on POSIX a process that
// has ended but is not yet collected counts as existing.
bool standin_process_exists(unsigned long process_id);

// Prepares for the supervisor's polite stop: a termination signal where
// there are signals, a close request to the stand-in's own top-level window
// on Windows. With `honour` the stop ends the stand-in, otherwise it has no
// effect; with `caught` as well, the stop is only noted, for
// standin_polite_stop_came to tell. Returns what the record says about the
// window: "1" made, "0" none could be made, "-" where none is needed.
const char* standin_prepare_polite_stop(bool honour, bool caught);

// Handles what came for the window since the last call; true when a close
// request is to be honoured now. Where signals do the work, true only when
// the stop is caught and came.
bool standin_polite_stop_came();

// The sender of a datagram: an IPv4 address and port, in host order.
struct standin_peer {
    unsigned long address;
    unsigned port;
};

// Binds the query socket to 127.0.0.1:port; false when it cannot be had.
bool standin_query_open(unsigned port);

// Waits at most `milliseconds` for a datagram on the query socket and takes
// it: returns its length (at most `capacity`; a longer one is cut) and its
// sender, or -1 when none came. Without a query socket it only waits.
long standin_query_receive(char* buffer, std::size_t capacity, standin_peer& sender,
                           unsigned milliseconds);

// Sends one datagram from the query socket, or when `elsewhere` from a
// socket of its own on another port.
void standin_query_send(const char* data, std::size_t length, const standin_peer& to,
                        bool elsewhere = false);

// Sends the process `process_id` a Ctrl+C: on Windows from within its
// console, which this process joins, leaving its own; SIGINT on POSIX.
// False when it could not be sent.
bool standin_send_ctrl_c(unsigned long process_id);
