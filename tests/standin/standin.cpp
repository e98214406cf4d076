// A stand-in for the game's dedicated server. It does what the supervisor
// relies on and nothing else: it starts from the command line it is given,
// writes the log file named after "log=", runs for a while and ends. Left
// alone it runs three seconds and ends with status 0, which suits a demo.
//
// Its behaviour comes from its environment, which the supervisor passes on:
//   MOLV_STANDIN_RUN_MS     how long to run, in milliseconds (3000); a list
//                           separated by commas is taken in turn, one
//                           number per instance
//   MOLV_STANDIN_HOLD       instance numbers, separated by commas, that run
//                           until they are stopped instead
//   MOLV_STANDIN_END        how to end, one word per instance in turn,
//                           separated by commas: exit, signal or abort (exit)
//   MOLV_STANDIN_EXIT       the exit status for "exit" (0)
//   MOLV_STANDIN_LOG        "0": write no log file
//   MOLV_STANDIN_LOG_BYTES  the exact size of the log, filled up with lines
//   MOLV_STANDIN_RECORD     a folder for the record of every instance
//   MOLV_STANDIN_CHATTER    "1": write a line of console text to standard
//                           output and error while the log is open
//   MOLV_STANDIN_ORPHAN     "1": leave a process behind that ends right
//                           after the stand-in
//
// In the record folder every instance appends one line to "records.txt":
// tab-separated fields instance=, pid=, session=, leader=, input_null=,
// sigpipe=, sigxfsz= (the dispositions it started with), blocked= (the
// number of blocked signals), descriptors= (the open ones, "0,1,2"),
// log= (the log file's name, empty when none), log_written=, line= (the
// command line as received), argc= and arg0= onwards. It keeps a copy of
// the log it wrote as "log-N.txt", N being its instance number, counted
// from 1 by the records already there. A file "stop" in the folder makes
// every instance end at once with status 0, and so does the removal of
// "records.txt" (the folder of a test that has ended).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "standin_platform.h"

namespace {

const char* environment_text(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

long environment_number(const char* name, long fallback)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return fallback;
    }
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(value, &end, 10);
    return (errno != 0 || *end != '\0') ? fallback : number;
}

bool file_exists(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    return true;
}

bool write_file(const std::string& path, const std::string& content, const char* mode,
                bool chatter = false)
{
    std::FILE* file = std::fopen(path.c_str(), mode);
    if (file == nullptr) {
        return false;
    }
    // Console text, as a server writes it beside its log; it must never end
    // up in the log.
    if (chatter) {
        std::fputs("stand-in console text\n", stdout);
        std::fflush(stdout);
        std::fputs("stand-in error text\n", stderr);
        std::fflush(stderr);
    }
    bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

// The number of complete records already in the folder, plus one.
long next_instance(const std::string& records_path)
{
    std::FILE* file = std::fopen(records_path.c_str(), "rb");
    long lines = 0;
    if (file != nullptr) {
        int c;
        while ((c = std::fgetc(file)) != EOF) {
            if (c == '\n') {
                ++lines;
            }
        }
        std::fclose(file);
    }
    return lines + 1;
}

// The word at position `index` (counted from 0) of a comma-separated list,
// taken in turn: the list starts again after its last word.
std::string word_in_turn(const std::string& list, long index)
{
    std::size_t words = 1;
    for (char c : list) {
        words += c == ',' ? 1 : 0;
    }
    std::size_t wanted = static_cast<std::size_t>(index) % words;
    std::size_t start = 0;
    for (std::size_t i = 0; i < wanted; ++i) {
        start = list.find(',', start) + 1;
    }
    std::size_t end = list.find(',', start);
    return list.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool listed(const std::string& list, long instance)
{
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        std::string word = list.substr(start, end == std::string::npos ? std::string::npos
                                                                        : end - start);
        if (!word.empty() && std::strtol(word.c_str(), nullptr, 10) == instance) {
            return true;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return false;
}

// The log file's name: the text after "log=" up to the next "?".
std::string log_name(const std::string& line)
{
    std::size_t at = line.find("?log=");
    if (at == std::string::npos) {
        return "";
    }
    at += 5;
    std::size_t end = line.find('?', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// A log that no other instance writes alike: its instance number and
// process id, then filler lines up to the size asked for.
std::string log_content(long instance, unsigned long pid, const std::string& line, long size)
{
    char head[160];
    std::snprintf(head, sizeof head, "MOLV stand-in server log\ninstance %ld, process %lu\n",
                  instance, pid);
    std::string content = head;
    content += "command line: " + line + "\n";
    for (long row = 1; size > 0 && static_cast<long>(content.size()) < size; ++row) {
        char filler[96];
        std::snprintf(filler, sizeof filler, "instance %ld is still running, line %ld\n",
                      instance, row);
        content += filler;
    }
    if (size > 0) {
        content.resize(static_cast<std::size_t>(size));
    }
    return content;
}

std::string record_line(long instance, const standin_facts& facts, const std::string& log,
                        bool log_written, const std::string& line, int argc, char** argv)
{
    char head[200];
    std::snprintf(head, sizeof head, "instance=%ld\tpid=%lu\tsession=%s\tleader=%s\tinput_null=%s",
                  instance, facts.process_id, facts.session, facts.leader, facts.input_null);
    std::string record = head;
    record += std::string("\tsigpipe=") + facts.sigpipe + "\tsigxfsz=" + facts.sigxfsz;
    record += std::string("\tblocked=") + facts.blocked + "\tdescriptors=" + facts.descriptors;
    record += "\tlog=" + log;
    record += log_written ? "\tlog_written=1" : "\tlog_written=0";
    record += "\tline=" + line;
    record += "\targc=" + std::to_string(argc);
    for (int i = 0; i < argc; ++i) {
        record += "\targ" + std::to_string(i) + "=" + argv[i];
    }
    return record + "\n";
}

} // namespace

int main(int argc, char** argv)
{
    standin_facts facts{};
    standin_read_facts(facts);
    const std::string line = standin_command_line(argc, argv);

    const std::string folder = environment_text("MOLV_STANDIN_RECORD", "");
    const std::string records_path = folder + "/records.txt";
    const std::string stop_path = folder + "/stop";
    const long instance = folder.empty() ? 1 : next_instance(records_path);

    // The log comes first, so that it is complete once the record shows.
    const std::string log = log_name(line);
    bool log_written = false;
    std::string content;
    if (!log.empty() && std::strcmp(environment_text("MOLV_STANDIN_LOG", "1"), "0") != 0) {
        content = log_content(instance, facts.process_id, line,
                              environment_number("MOLV_STANDIN_LOG_BYTES", 0));
        log_written = write_file(log, content, "wb",
                                 std::strcmp(environment_text("MOLV_STANDIN_CHATTER", "0"), "1") == 0);
    }
    if (!folder.empty()) {
        if (log_written) {
            write_file(folder + "/log-" + std::to_string(instance) + ".txt", content, "wb");
        }
        write_file(records_path,
                   record_line(instance, facts, log, log_written, line, argc, argv), "ab");
    }

    if (std::strcmp(environment_text("MOLV_STANDIN_ORPHAN", "0"), "1") == 0) {
        standin_leave_orphan();
    }

    const bool hold = listed(environment_text("MOLV_STANDIN_HOLD", ""), instance);
    const std::string run_text =
        word_in_turn(environment_text("MOLV_STANDIN_RUN_MS", "3000"), instance - 1);
    char* run_end = nullptr;
    long run_ms = std::strtol(run_text.c_str(), &run_end, 10);
    if (run_text.empty() || *run_end != '\0') {
        run_ms = 3000;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(run_ms);
    while (hold || std::chrono::steady_clock::now() < until) {
        // A record folder that is gone belongs to a test that has ended, and
        // nobody is left to stop this instance.
        if (!folder.empty() && (file_exists(stop_path) || !file_exists(records_path))) {
            return 0;
        }
        standin_sleep_ms(20);
    }

    const std::string end = word_in_turn(environment_text("MOLV_STANDIN_END", "exit"), instance - 1);
    if (end == "signal") {
        standin_die_by_signal();
    }
    if (end == "abort") {
        standin_abort();
    }
    return static_cast<int>(environment_number("MOLV_STANDIN_EXIT", 0));
}
