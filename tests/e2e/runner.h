// What the end-to-end tests need from the system: start the real molv in a
// directory of its own with its output in a file, watch it, stop it, and
// look at the processes it leaves. runner_posix.cpp implements the process
// operations with fork and /proc; runner_win32.cpp provides the same
// functions with CreateProcess and GetProcessHandleCount, leaving out those
// marked "POSIX only". runner_common.cpp holds the file and text operations
// that work everywhere.
#pragma once

#include <functional>
#include <string>
#include <vector>

// The programs under test, set once by the test program's main.
extern std::string molv_program;
extern std::string standin_program;

enum class input_kind {
    closed,      // no standard input at all
    null_device, // standard input reads from the null device
};

// A confinement of molv as containers and minimal roots give it. POSIX only.
enum class isolation_kind {
    none,
    pid_namespace,  // molv is the first process (PID 1) of a new PID namespace
    no_null_device, // molv sees an empty /dev, in a mount namespace of its own
};

struct molv_launch {
    std::string directory;   // the current directory of molv
    std::vector<std::string> arguments; // after the program's name, words without blanks
    // A program (full path) and its words that run molv, as strace does.
    // POSIX only.
    std::vector<std::string> wrapper;
    std::string output_path; // standard output and error go to this file
    std::vector<std::string> environment; // "NAME=value" on top of the runner's own
    input_kind input = input_kind::null_device;
    // A limit on the size of files molv writes, in bytes, with the signal for
    // crossing it at its default, as a shell leaves it; 0 for none. POSIX only.
    unsigned long file_size_limit = 0;
    // Standard input, output and error all closed, as `molv <&- >&- 2>&-`;
    // nothing goes to `output_path`. POSIX only.
    bool standard_closed = false;
    // When not 0: the output goes into a pipe whose reader copies this many
    // lines to `output_path` and then goes away, as `molv | head -n N`.
    // POSIX only.
    unsigned reader_lines = 0;
    // When not -1: molv inherits this descriptor, open on `inherited_path`,
    // as a launcher's lock file would be. POSIX only.
    int inherited_descriptor = -1;
    std::string inherited_path;
    isolation_kind isolation = isolation_kind::none;
    // What the terminal run does at the key prompt once molv waits for the
    // key: type these keys, or when `prompt_signal` is not 0, send molv that
    // signal instead. POSIX only.
    std::string prompt_keys = "x";
    int prompt_signal = 0;
    // Without root's right to read any file whatever its permission bits, so
    // that a file of mode 000 is as unreadable to molv as to anyone else; the
    // launch ends with status 125 where the system refuses. POSIX only.
    bool without_read_override = false;
    // Run molv in a job that ends every process in it once its last handle
    // closes and lets a process started in it leave, as a service wrapper
    // does; end_wrapper_job closes that handle. Windows only.
    bool in_wrapper_job = false;
};

struct molv_process {
    long id = -1;
    bool ended = false;
    bool exited = false; // ended by itself, with `exit_code`
    int exit_code = -1;
    int end_signal = 0;     // the signal that ended it, POSIX only
    long reader_id = -1;    // the pipe reader of `reader_lines`, POSIX only
    void* handle = nullptr; // the process handle where the system has one
    void* wrapper_job = nullptr; // the job of `in_wrapper_job`, Windows only
};

// Readies the system for the tests, once, before the first. On Windows the
// test program keeps a window of its own, never shown, for as long as it
// runs: under Wine the desktop process starts with the first window of a
// session and ends a moment after its last, and started by a stand-in
// server it would land in molv's job for that server, where molv counts it
// as a process the server left behind. Nothing on POSIX.
void prepare_test_run();

// Starts molv as `launch` says. Returns false when it could not be started.
bool start_molv(const molv_launch& launch, molv_process& process);

// Waits up to `seconds` for molv to end and collects its status; returns
// whether it has ended. A zero wait only looks.
bool wait_for_end(molv_process& process, double seconds);

// Waits up to `seconds` for the pipe reader of `reader_lines` to go and
// collects it; returns whether it has gone. POSIX only.
bool wait_for_reader_end(molv_process& process, double seconds);

// Stops molv by its process id and collects it.
void stop_molv(molv_process& process);

// Ends the job of `in_wrapper_job` as a service wrapper's end does, which
// ends every process in it, and collects molv. Windows only.
void end_wrapper_job(molv_process& process);

// Sends molv a Ctrl+C as a key press in its console does, from a helper
// (the stand-in) that joins molv's console and ends with that; true once it
// was sent. Windows only.
bool send_ctrl_c(const molv_process& process);

// The process id of the test program itself.
long own_process_id();

// The number of descriptors (handles) the process holds open, or -1.
int open_descriptor_count(long id);

// How many inheritable handles of this value the process holds, by the
// system's table of all handles; -1 when it cannot be read. An inherited
// handle keeps its value. Windows only.
int inheritable_handles_of_value(long id, void* value);

// The session the process belongs to, or -1. POSIX only.
long session_of(long id);

// The number of ended but uncollected children of the process. POSIX only.
int zombie_children(long id);

// The number of children of the process, ended or not. POSIX only.
int child_processes(long id);

// Why this system refuses the isolation (a container without the right to
// make namespaces), tried out in a process of its own; empty when it allows
// it. POSIX only.
std::string isolation_refused(isolation_kind isolation);

// Stops a server that is still running in `directory`, with everything in
// its process group, and waits for its end; does nothing to a process that
// has ended or runs elsewhere, so a reused process id is never hit.
void stop_server(long id, const std::string& directory);

// `text` in wide characters: from UTF-8 where it is that, else from the
// ANSI code page. Windows only.
std::wstring wide_text(const std::string& text);

// Stops every program still running from `directory` (POSIX: whose
// current folder it is; Windows: whose file lies in it), as stop_server
// does: a server that hung before it could write its record, an event
// program, anything a test left; on Windows also the console hosts that
// this test program started for the molvs it ran.
void stop_programs_in(const std::string& directory);

struct terminal_run {
    bool ended = false;
    int exit_code = -1;
    int end_signal = 0; // the signal that ended molv, 0 when it exited
    std::string output; // everything molv wrote, line ends as "\n"
    // The terminal after molv ended: echo and line editing on, as a shell
    // that does not repair it needs them.
    bool terminal_usable = false;
};

// Runs molv once on a pseudo-terminal until it ends, answering its key
// prompt as `launch` says. Returns false when it could not be started or
// did not end within `seconds`. POSIX only.
bool run_in_terminal(const molv_launch& launch, double seconds, terminal_run& result);

// A UDP port on 127.0.0.1 that no socket used a moment ago, for a stand-in
// to answer status queries on; 0 when none could be had.
unsigned free_udp_port();

// The full path of an existing folder as molv sees it as its current folder.
std::string full_path_of(const std::string& path);

// What a real reader of the status file finds wrong with the file at
// `path`: on POSIX the problems `promtool check metrics` reports (or that
// promtool is missing), empty when there are none. On Windows a copy goes
// to the folder named by MOLV_E2E_STATUS_COPIES, which the test run hands
// to promtool after the end-to-end tests, and the result is empty.
std::string metrics_problems(const std::string& path);

// A new empty directory for one test.
bool make_temporary_directory(std::string& path);

// Sets the last-modification time of a file or folder to `seconds` before
// now (utime on POSIX, SetFileTime on Windows).
bool set_modified_ago(const std::string& path, long long seconds);

// What molv wrote to an output file, with the system's line ends turned
// into "\n". Elsewhere than at line ends the bytes are left as they are.
std::string read_output(const std::string& path);

// What the "pause" molv runs prints when standard input ends at once: the
// fixed text of molv's own prompt on POSIX, the command interpreter's own
// prompt on Windows (which differs between Windows and Wine).
std::string pause_prompt();

// The arguments, program name first, that a server started with
// `command_line` for the program `exename` receives: on POSIX molv hands over
// `exename` whole and the rest split at blanks; on Windows the server gets the
// single command line and its runtime splits all of it at blanks.
std::vector<std::string> expected_server_arguments(const std::string& exename,
                                                   const std::string& command_line);

// --- Operations that do not depend on the system (runner_common.cpp). ---

// Checks `condition` again and again until it holds or `seconds` have passed.
bool wait_until(const std::function<bool()>& condition, double seconds);

std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
void remove_tree(const std::string& path);
// The names of the plain files in a directory, sorted.
std::vector<std::string> file_names(const std::string& directory);
// Copies the stand-in server to `directory`/`name`.
bool install_server(const std::string& directory, const std::string& name);

// The words of a text separated by runs of blanks (spaces and tabs).
std::vector<std::string> blank_separated_words(const std::string& text);

// The lines of a text, without their line ends; a last line without an end
// is left out unless `keep_partial`.
std::vector<std::string> text_lines(const std::string& text, bool keep_partial = false);

// The text with every "[HH:MM:SS]" stamp of a well-formed time replaced by
// the letters "[HH:MM:SS]".
std::string mask_stamps(const std::string& text);

// The messages of the stamped lines, in order (the text after "] ").
std::vector<std::string> stamped_messages(const std::string& text);

// How often `message` occurs among the stamped lines.
std::size_t count_message(const std::string& text, const std::string& message);

// One line of the stand-in's "records.txt": the value of each field.
struct standin_record {
    std::vector<std::pair<std::string, std::string>> fields;
    std::string get(const std::string& key) const;
    long number(const std::string& key) const;
};

// The complete records in a record folder, in the order written.
std::vector<standin_record> read_records(const std::string& folder);
