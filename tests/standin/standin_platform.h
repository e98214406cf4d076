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

// Ends the process the way a crash does: killed by a signal, or terminated
// from outside with a failure code where there are no signals.
[[noreturn]] void standin_die_by_signal();

// Ends the process through abort(), without leaving a core file behind.
[[noreturn]] void standin_abort();

// Leaves behind a process that ends soon after the stand-in, as a server's
// helper does when its server is gone; does nothing where that cannot be.
void standin_leave_orphan();
