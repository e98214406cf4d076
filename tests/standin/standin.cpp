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
//   MOLV_STANDIN_OTHER_THREAD instance numbers whose first thread ends once
//                           the record is written, another thread running
//                           the instance on (Windows; elsewhere ignored)
//   MOLV_STANDIN_QUERY_PORT a UDP port: listen on 127.0.0.1 there and
//                           answer the datagram "\info\" with
//                           "\hostname\MOLV stand-in\numplayers\0\maxplayers\10\"
//                           sent back to its sender; without it there is
//                           no socket at all
//   MOLV_STANDIN_PLAYERS    the player counts of the answers, separated by
//                           commas: one per answer in turn, the last one
//                           for every answer after (0); with it, the
//                           answers also carry "\mapname\" with
//                           MOLV_STANDIN_MAP (DXMP_Area51_Bunker) and
//                           "\maxplayers\" with MOLV_STANDIN_MAX_PLAYERS (10)
//   MOLV_STANDIN_QUERY      how to answer, one word per instance in turn:
//                           answer (every query; the default), never,
//                           silent_after_N (the first N queries, then none
//                           while running on), every_second (queries 1, 3,
//                           5 and so on), late_MS (each one MS
//                           milliseconds after it came) or
//                           elsewhere_after_N (the first N queries, then
//                           each from a socket on another port)
//   MOLV_STANDIN_STOP       the polite stop, one word per instance in turn:
//                           honour (the default), ignore or slow_MS. On
//                           POSIX that stop is SIGTERM, which "ignore" sets
//                           to be ignored; on Windows it is WM_CLOSE to the
//                           stand-in's own top-level window, never shown,
//                           and "honour" ends the instance with status 0.
//                           "slow_MS" takes MS milliseconds to close, then
//                           writes "closed" to "closed-N.txt" and ends with
//                           status 0
//
// In the record folder every instance appends one line to "records.txt":
// tab-separated fields instance=, pid=, session=, leader=, input_null=,
// sigpipe=, sigxfsz= (the dispositions it started with), blocked= (the
// number of blocked signals), descriptors= (the open ones, "0,1,2"),
// window= ("1" the instance has its window, "0" it could not make one, as
// under Wine without a display, "-" on POSIX), previous_alive= ("1" the
// process of the record before this one still existed when this instance
// started, which on POSIX includes one not yet collected; "0" it did not;
// "-" for the first instance), recorded= ("1" the lock file "molv.lock" in
// its folder named it on its server line when it started, "0" it did not,
// "-" there was none), log= (the log file's name, empty when none),
// log_written=, line= (the command line as received), argc= and arg0=
// onwards. It keeps a copy of the log it wrote as "log-N.txt", N being its
// instance number, counted from 1 by the records already there, and writes
// a line "query answered", "query answered elsewhere" or "query ignored" to
// "queries-N.txt" for every query that came. A file "stop" in the folder makes every instance end at
// once with status 0, and so does the removal of "records.txt" (the folder
// of a test that has ended).
//
// Started with exactly two arguments of which the first is an event word
// (started, ended, hung, scheduled, launch_failed, backup_failed, asked), it acts
// as the supervisor's event program instead of as a server: it appends one
// line to "events.txt" in the record folder, with the tab-separated fields
// event=, detail= (the second argument), pid=, input_null= and descriptors=,
// then waits MOLV_STANDIN_EVENT_SLEEP_MS milliseconds (0), or until a
// "stop" file appears in the folder or the folder is gone, and exits with
// status 0. It writes no
// record and no log then.
//
// Started as "--ctrl-c PID", it sends the process PID a Ctrl+C as the
// operator's key press in that process's console would (SIGINT on POSIX),
// and ends with status 0 once it has, 1 when it could not.
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

// The process id in the last complete record, 0 when there is none.
unsigned long last_record_process(const std::string& records_path)
{
    std::FILE* file = std::fopen(records_path.c_str(), "rb");
    if (file == nullptr) {
        return 0;
    }
    std::string text;
    char block[4096];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
        text.append(block, got);
    }
    std::fclose(file);
    std::size_t end = text.rfind('\n');
    if (end == std::string::npos) {
        return 0;
    }
    std::size_t start = end == 0 ? std::string::npos : text.rfind('\n', end - 1);
    start = start == std::string::npos ? 0 : start + 1;
    std::size_t pid = text.find("\tpid=", start);
    if (pid == std::string::npos || pid > end) {
        return 0;
    }
    return std::strtoul(text.c_str() + pid + 5, nullptr, 10);
}

// The number at the end of `word` after `prefix`, or -1 when `word` is not
// the prefix followed by digits alone.
long number_after(const std::string& word, const char* prefix)
{
    const std::size_t length = std::strlen(prefix);
    if (word.size() <= length || word.compare(0, length, prefix) != 0) {
        return -1;
    }
    for (std::size_t i = length; i < word.size(); ++i) {
        if (word[i] < '0' || word[i] > '9') {
            return -1;
        }
    }
    errno = 0;
    long number = std::strtol(word.c_str() + length, nullptr, 10);
    return errno == 0 ? number : -1;
}

using clock_type = std::chrono::steady_clock;

enum class query_mode { answer, never, silent_after, elsewhere_after, every_second, late };

struct pending_reply {
    clock_type::time_point due;
    standin_peer to;
};

// How the instance answers queries, and what it still owes.
struct query_state {
    query_mode mode;
    // N of silent_after_N, MS of late_MS.
    long number;
    long received;
    std::string journal_path;
    long answers; // sent so far
    pending_reply pending[32];
    std::size_t pending_count;
};

const char query_text[] = "\\info\\";
const char reply_text[] = "\\hostname\\MOLV stand-in\\numplayers\\0\\maxplayers\\10\\";

// The answer after `sent` others: the fixed one, or with the player count
// in turn and the map when counts are given.
std::string reply_after(long sent)
{
    const char* counts = std::getenv("MOLV_STANDIN_PLAYERS");
    if (counts == nullptr) {
        return reply_text;
    }
    std::string count = "0";
    const char* at = counts;
    for (long index = 0; *at != '\0'; ++index) {
        const char* comma = std::strchr(at, ',');
        const std::string word = comma != nullptr ? std::string(at, comma) : std::string(at);
        if (!word.empty()) {
            count = word;
        }
        if (index == sent || comma == nullptr) {
            break;
        }
        at = comma + 1;
    }
    return std::string("\\hostname\\MOLV stand-in\\mapname\\") +
           environment_text("MOLV_STANDIN_MAP", "DXMP_Area51_Bunker") + "\\numplayers\\" + count +
           "\\maxplayers\\" + environment_text("MOLV_STANDIN_MAX_PLAYERS", "10") + "\\";
}

void send_reply(query_state& queries, const standin_peer& to, bool elsewhere = false)
{
    const std::string reply = reply_after(queries.answers++);
    standin_query_send(reply.data(), reply.size(), to, elsewhere);
}

void plan_queries(query_state& queries, const std::string& word)
{
    queries.mode = query_mode::answer;
    queries.number = 0;
    if (word == "never") {
        queries.mode = query_mode::never;
    } else if (word == "every_second") {
        queries.mode = query_mode::every_second;
    } else if ((queries.number = number_after(word, "silent_after_")) >= 0) {
        queries.mode = query_mode::silent_after;
    } else if ((queries.number = number_after(word, "elsewhere_after_")) >= 0) {
        queries.mode = query_mode::elsewhere_after;
    } else if ((queries.number = number_after(word, "late_")) >= 0) {
        // A day is later than any test waits, and keeps the clock arithmetic
        // far from overflowing.
        queries.mode = query_mode::late;
        queries.number = queries.number < 86400000L ? queries.number : 86400000L;
    }
}

void send_due_replies(query_state& queries, clock_type::time_point now)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < queries.pending_count; ++i) {
        if (queries.pending[i].due <= now) {
            send_reply(queries, queries.pending[i].to);
        } else {
            queries.pending[kept++] = queries.pending[i];
        }
    }
    queries.pending_count = kept;
}

void take_datagram(query_state& queries, const char* data, long length, const standin_peer& from)
{
    if (length != static_cast<long>(sizeof query_text - 1) ||
        std::memcmp(data, query_text, sizeof query_text - 1) != 0) {
        return;
    }
    ++queries.received;
    bool answer = true;
    switch (queries.mode) {
    case query_mode::answer:
        break;
    case query_mode::never:
        answer = false;
        break;
    case query_mode::silent_after:
        answer = queries.received <= queries.number;
        break;
    case query_mode::elsewhere_after:
        break;
    case query_mode::every_second:
        answer = queries.received % 2 == 1;
        break;
    case query_mode::late:
        answer = queries.pending_count < sizeof queries.pending / sizeof queries.pending[0];
        if (answer) {
            queries.pending[queries.pending_count++] = {
                clock_type::now() + std::chrono::milliseconds(queries.number), from};
        }
        break;
    }
    const bool elsewhere =
        queries.mode == query_mode::elsewhere_after && queries.received > queries.number;
    if (answer && queries.mode != query_mode::late) {
        send_reply(queries, from, elsewhere);
    }
    // The line is written when the query comes, a late answer included, so
    // that a test sees every query even when the instance is stopped first.
    if (!queries.journal_path.empty()) {
        standin_append(queries.journal_path, elsewhere ? "query answered elsewhere\n"
                                             : answer  ? "query answered\n"
                                                       : "query ignored\n");
    }
}

// Serves the query socket for at most `milliseconds`, or only waits that
// long when there is none.
void serve_queries(query_state& queries, unsigned milliseconds)
{
    clock_type::time_point now = clock_type::now();
    send_due_replies(queries, now);
    unsigned wait = milliseconds;
    for (std::size_t i = 0; i < queries.pending_count; ++i) {
        const long long left =
            std::chrono::ceil<std::chrono::milliseconds>(queries.pending[i].due - now).count();
        if (left < static_cast<long long>(wait)) {
            wait = left > 0 ? static_cast<unsigned>(left) : 0;
        }
    }
    char buffer[512];
    standin_peer from{};
    // A burst of datagrams is taken within one turn, but never without end.
    for (int taken = 0; taken < 64; ++taken) {
        long length = standin_query_receive(buffer, sizeof buffer, from, taken == 0 ? wait : 0);
        if (length < 0) {
            break;
        }
        take_datagram(queries, buffer, length, from);
    }
    send_due_replies(queries, clock_type::now());
}

// Binds the query port, allowing a moment for an instance that has just
// ended to let go of it.
bool open_query_port(long port)
{
    if (port <= 0 || port > 65535) {
        return false;
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (standin_query_open(static_cast<unsigned>(port))) {
            return true;
        }
        standin_sleep_ms(20);
    }
    return false;
}

bool is_event_word(const char* word)
{
    static const char* const events[] = {"started",   "ended",         "hung",
                                         "scheduled", "launch_failed", "backup_failed", "asked"};
    for (const char* event : events) {
        if (std::strcmp(word, event) == 0) {
            return true;
        }
    }
    return false;
}

// The stand-in as the supervisor's event program: one line in "events.txt",
// then a wait that a test can stretch to find out whether the supervisor
// waits for it.
int record_event(const standin_facts& facts, const char* event, const char* detail)
{
    const std::string folder = environment_text("MOLV_STANDIN_RECORD", "");
    if (!folder.empty()) {
        standin_append(folder + "/events.txt",
                       std::string("event=") + event + "\tdetail=" + detail +
                           "\tpid=" + std::to_string(facts.process_id) +
                           "\tinput_null=" + facts.input_null +
                           "\tdescriptors=" + facts.descriptors + "\n");
    }
    const long sleep_ms = environment_number("MOLV_STANDIN_EVENT_SLEEP_MS", 0);
    const auto until = clock_type::now() + std::chrono::milliseconds(sleep_ms > 0 ? sleep_ms : 0);
    while (clock_type::now() < until) {
        // "records.txt" is missing as long as no server instance has
        // written its record; "events.txt", just written, is gone only with
        // the folder of a test that has ended.
        if (!folder.empty() &&
            (file_exists(folder + "/stop") || !file_exists(folder + "/events.txt"))) {
            break;
        }
        standin_sleep_ms(20);
    }
    return 0;
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

std::string record_line(long instance, const standin_facts& facts, const char* window,
                        const char* previous_alive, const char* recorded,
                        const std::string& log, bool log_written, const std::string& line,
                        int argc, char** argv)
{
    char head[200];
    std::snprintf(head, sizeof head, "instance=%ld\tpid=%lu\tsession=%s\tleader=%s\tinput_null=%s",
                  instance, facts.process_id, facts.session, facts.leader, facts.input_null);
    std::string record = head;
    record += std::string("\tsigpipe=") + facts.sigpipe + "\tsigxfsz=" + facts.sigxfsz;
    record += std::string("\tblocked=") + facts.blocked + "\tdescriptors=" + facts.descriptors;
    record += std::string("\twindow=") + window + "\tprevious_alive=" + previous_alive;
    record += std::string("\trecorded=") + recorded;
    record += "\tlog=" + log;
    record += log_written ? "\tlog_written=1" : "\tlog_written=0";
    record += "\tline=" + line;
    record += "\targc=" + std::to_string(argc);
    for (int i = 0; i < argc; ++i) {
        record += "\targ" + std::to_string(i) + "=" + argv[i];
    }
    return record + "\n";
}

// What an instance does once it has written its record.
struct instance_run {
    long instance;
    std::string folder;
    std::string records_path;
    std::string stop_path;
    long closing_ms;
    query_state* queries;
};

int run_instance(void* context)
{
    const instance_run& run = *static_cast<const instance_run*>(context);
    const long instance = run.instance;
    const std::string& folder = run.folder;
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
        if (!folder.empty() && (file_exists(run.stop_path) || !file_exists(run.records_path))) {
            return 0;
        }
        if (standin_polite_stop_came()) {
            if (run.closing_ms >= 0) {
                standin_sleep_ms(static_cast<unsigned>(run.closing_ms));
                standin_append(folder + "/closed-" + std::to_string(instance) + ".txt", "closed\n");
            }
            return 0;
        }
        serve_queries(*run.queries, 20);
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

} // namespace

// Whether "molv.lock" in the current folder already names this process on
// its server line when it starts: "1", "0", or "-" without such a file.
const char* recorded_before_start(unsigned long pid)
{
    std::FILE* file = std::fopen("molv.lock", "rb");
    if (file == nullptr) {
        return "-";
    }
    char text[512];
    const std::size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[got] = '\0';
    char line[48];
    std::snprintf(line, sizeof line, "\nserver %lu ", pid);
    return std::strstr(text, line) != nullptr ? "1" : "0";
}

int main(int argc, char** argv)
{
    standin_facts facts{};
    standin_read_facts(facts);
    if (argc == 3 && std::strcmp(argv[1], "--ctrl-c") == 0) {
        return standin_send_ctrl_c(std::strtoul(argv[2], nullptr, 10)) ? 0 : 1;
    }
    if (argc == 3 && is_event_word(argv[1])) {
        return record_event(facts, argv[1], argv[2]);
    }
    const char* recorded = recorded_before_start(facts.process_id);
    const std::string line = standin_command_line(argc, argv);

    const std::string folder = environment_text("MOLV_STANDIN_RECORD", "");
    const std::string records_path = folder + "/records.txt";
    const std::string stop_path = folder + "/stop";
    const long instance = folder.empty() ? 1 : next_instance(records_path);
    const char* previous_alive = "-";
    if (instance > 1) {
        const unsigned long previous = last_record_process(records_path);
        previous_alive = previous != 0 && standin_process_exists(previous) ? "1" : "0";
    }

    // Ready for the supervisor's stop and its queries before the record
    // shows, so that a test that has seen the record may rely on both.
    const std::string stop_word =
        word_in_turn(environment_text("MOLV_STANDIN_STOP", "honour"), instance - 1);
    const long closing_ms = number_after(stop_word, "slow_");
    const char* window = standin_prepare_polite_stop(stop_word != "ignore", closing_ms >= 0);
    query_state queries{};
    plan_queries(queries, word_in_turn(environment_text("MOLV_STANDIN_QUERY", "answer"),
                                       instance - 1));
    const long query_port = environment_number("MOLV_STANDIN_QUERY_PORT", 0);
    if (std::getenv("MOLV_STANDIN_QUERY_PORT") != nullptr && !open_query_port(query_port)) {
        std::fprintf(stderr, "stand-in: cannot listen on UDP port %ld\n", query_port);
    }
    if (!folder.empty()) {
        queries.journal_path = folder + "/queries-" + std::to_string(instance) + ".txt";
    }

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
                   record_line(instance, facts, window, previous_alive, recorded, log,
                               log_written, line, argc, argv),
                   "ab");
    }

    if (std::strcmp(environment_text("MOLV_STANDIN_ORPHAN", "0"), "1") == 0) {
        standin_leave_orphan();
    }

    instance_run run = {instance, folder, records_path, stop_path, closing_ms, &queries};
    return standin_run(listed(environment_text("MOLV_STANDIN_OTHER_THREAD", ""), instance),
                       run_instance, &run);
}
