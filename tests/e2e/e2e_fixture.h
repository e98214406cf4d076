// The frame of every end-to-end test: a temporary directory with molv's
// working directory, the stand-in's record folder and molv's output, and a
// clean-up that leaves no molv and no server running.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "runner.h"

// Deadlines are generous: they only bound a test that has already failed.
constexpr double deadline_seconds = 60.0;

// The exit statuses of a MOLV that cannot start the server at all, and of
// one refused beside another.
constexpr int cannot_start_status = 5;
constexpr int already_running_status = 6;

// The messages of the cycle.
constexpr char starting[] = "  > Starting gameserver...";
constexpr char running[] = "  > Gameserver is now running.";
constexpr char ended[] = "  WARNING: Server crashed or closed!";
constexpr char backing_up[] = "  > Backing up the log...";
constexpr char restarting[] = "  > Restarting...";
constexpr char stopped[] = "  > Gameserver stopped.";
constexpr char log_missing[] = "  WARNING: Logfile not found.";

// The copies under working names (".molv-backup-<process>-<serial>.tmp")
// among the files of `directory`.
inline std::vector<std::string> working_copies(const std::string& directory)
{
    std::vector<std::string> names = file_names(directory);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) {
                                   return name.rfind(".molv-backup-", 0) != 0;
                               }),
                names.end());
    return names;
}

// The names of the dated backups among the files of `directory`.
inline std::vector<std::string> dated_backups(const std::string& directory)
{
    static const std::regex dated(
        R"([0-9]{1,2}\.[0-9]{1,2}\.[0-9]{4}__[0-9]{2}_[0-9]{2}_[0-9]{2}(-[0-9]+)?\.log)");
    std::vector<std::string> names = file_names(directory);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return !std::regex_match(name, dated); }),
                names.end());
    return names;
}

// Whether two files hold the same bytes, read a piece at a time.
inline bool same_content(const std::string& one, const std::string& other)
{
    std::FILE* a = std::fopen(one.c_str(), "rb");
    std::FILE* b = std::fopen(other.c_str(), "rb");
    bool same = a != nullptr && b != nullptr;
    static char left[1 << 20];
    static char right[1 << 20];
    while (same) {
        const std::size_t got = std::fread(left, 1, sizeof left, a);
        same = std::fread(right, 1, sizeof right, b) == got &&
               std::memcmp(left, right, got) == 0;
        if (got < sizeof left) {
            break;
        }
    }
    if (a != nullptr) {
        std::fclose(a);
    }
    if (b != nullptr) {
        std::fclose(b);
    }
    return same;
}

// The values of the series in the status file at `path`, by name, with the
// cause for the ends: "molv_server_ends_total{crashed}".
inline std::map<std::string, std::string> status_values(const std::string& path)
{
    std::map<std::string, std::string> values;
    for (const std::string& line : text_lines(read_file(path))) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::string name = line.substr(0, line.find('{'));
        const std::size_t cause = line.find("cause=\"");
        if (cause != std::string::npos) {
            name += "{" + line.substr(cause + 7, line.find('"', cause + 7) - cause - 7) + "}";
        }
        values[name] = line.substr(line.rfind(' ') + 1);
    }
    return values;
}

// The pause molv makes before restarting a server that ended soon after
// its launch.
inline std::string retrying_in(unsigned seconds)
{
    return "  > Retrying in " + std::to_string(seconds) + (seconds == 1 ? " second..." : " seconds...");
}

// `text` with "min_uptime=0" at the head of its GENERAL section, or in a
// GENERAL section of its own before the rest, in the line ends the text uses.
inline std::string with_immediate_restarts(const std::string& text)
{
    std::string lower = text;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (std::size_t at = lower.find("[general]"); at != std::string::npos;
         at = lower.find("[general]", at + 1)) {
        const std::size_t end = text.find_first_of("\r\n", at);
        const bool line_start = at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r';
        if (line_start && end != std::string::npos) {
            const std::string line_end =
                text.compare(end, 2, "\r\n") == 0 ? "\r\n" : text.substr(end, 1);
            const std::size_t after = end + line_end.size();
            return text.substr(0, after) + "min_uptime=0" + line_end + text.substr(after);
        }
    }
    return "[GENERAL]\nmin_uptime=0\n" + text;
}

// The messages from the first launch on.
inline std::vector<std::string> cycle_messages(const std::string& output)
{
    std::vector<std::string> messages = stamped_messages(output);
    auto first = std::find(messages.begin(), messages.end(), starting);
    return std::vector<std::string>(first, messages.end());
}

// The first launch, then for each ended instance its end, the messages
// listed for it, and the restart; the last instance runs.
inline std::vector<std::string> expected_cycle(const std::vector<std::vector<std::string>>& after_ends)
{
    std::vector<std::string> messages = {starting, running};
    for (const std::vector<std::string>& after_end : after_ends) {
        messages.push_back(ended);
        messages.insert(messages.end(), after_end.begin(), after_end.end());
        messages.push_back(restarting);
        messages.push_back(running);
    }
    return messages;
}

// The same with `ends` ended instances that each log `after_end`.
inline std::vector<std::string> expected_cycle(int ends, const std::vector<std::string>& after_end)
{
    return expected_cycle(std::vector<std::vector<std::string>>(static_cast<std::size_t>(ends), after_end));
}

class molv_test : public testing::Test {
protected:
    std::string root;
    std::string work;    // molv's current directory
    std::string records; // the stand-in's record folder
    std::string output_path;
    molv_process molv;
    // A second molv in the same folder, or the one after a restart of molv.
    molv_process other_molv;
    std::string second_output_path;
    unsigned control_runs = 0;

    void SetUp() override
    {
        ASSERT_TRUE(file_exists(molv_program)) << molv_program;
        ASSERT_TRUE(file_exists(standin_program)) << standin_program;
        ASSERT_TRUE(make_temporary_directory(root));
        work = root + "/work";
        records = root + "/records";
        output_path = root + "/output.txt";
        second_output_path = root + "/output-2.txt";
        ASSERT_TRUE(make_directory(work));
        ASSERT_TRUE(make_directory(records));
    }

    void TearDown() override
    {
        stop_molv(molv);
        stop_molv(other_molv);
        if (root.empty()) {
            return;
        }
        // Servers that outlived molv end on their own when they see the stop
        // file; those that cannot are stopped by their process id.
        write_file(records + "/stop", "");
        for (const standin_record& record : read_records(records)) {
            stop_server(record.number("pid"), work);
        }
        // And what never wrote a record: a server that hung at its start
        // would keep the test run's output open for ever.
        stop_programs_in(work);
        if (HasFailure()) {
            std::printf("The files of this test are kept in %s\n", root.c_str());
        } else {
            remove_tree(root);
        }
    }

    static bool make_directory(const std::string& path)
    {
        std::error_code error;
        return std::filesystem::create_directory(path, error);
    }

    void write_settings(const std::string& text)
    {
        ASSERT_TRUE(write_file(work + "/molv.ini", text));
    }

    // Settings that have molv restart every ended server at once, as the
    // tests of servers that end within moments of their launch need.
    void write_immediate_settings(const std::string& text = "")
    {
        write_settings(with_immediate_restarts(text));
    }

    // The launch of molv in `work` with the stand-in recording into `records`.
    molv_launch launch_in_work(std::vector<std::string> environment = {}) const
    {
        molv_launch launch;
        launch.directory = work;
        launch.output_path = output_path;
        launch.environment = std::move(environment);
        launch.environment.push_back("MOLV_STANDIN_RECORD=" + records);
        return launch;
    }

    // Starts molv in `work` with the stand-in recording into `records`.
    void start(std::vector<std::string> environment = {},
               input_kind input = input_kind::null_device, unsigned long file_size_limit = 0)
    {
        molv_launch launch = launch_in_work(std::move(environment));
        launch.input = input;
        launch.file_size_limit = file_size_limit;
        ASSERT_TRUE(start_molv(launch, molv));
    }

    std::string output() const { return read_output(output_path); }

    // Runs `molv <option>` in `work` until it ends, as an operator at
    // another console does: what it printed, and its exit status in
    // `status` (-1 when it did not end in time, and was stopped).
    std::string run_control(const std::string& option, int& status)
    {
        molv_launch launch = launch_in_work();
        launch.arguments = {option};
        launch.output_path = root + "/control-" + std::to_string(++control_runs) + ".txt";
        molv_process control;
        status = -1;
        if (!start_molv(launch, control)) {
            return "";
        }
        if (!wait_for_end(control, deadline_seconds)) {
            stop_molv(control);
            return read_output(launch.output_path);
        }
        status = control.exit_code;
        return read_output(launch.output_path);
    }

    std::vector<standin_record> server_records() const { return read_records(records); }

    // Waits until the message has been logged at least `count` times.
    bool wait_for_message(const std::string& message, std::size_t count = 1)
    {
        return wait_until([&] { return count_message(output(), message) >= count; },
                          deadline_seconds);
    }

    // How many instances of the server have started and been announced.
    std::size_t instances_running() const
    {
        return std::min(server_records().size(),
                        count_message(output(), "  > Gameserver is now running."));
    }

    // Waits until instance `instance` of the server runs and molv has said
    // so, which leaves molv waiting for its end. The deadline counts from
    // the last instance that came, so long runs on slow machines still pass.
    bool wait_for_instance(std::size_t instance)
    {
        std::size_t seen = 0;
        while (seen < instance) {
            const std::size_t before = seen;
            if (!wait_until(
                    [&] {
                        seen = instances_running();
                        return seen >= instance || seen > before;
                    },
                    deadline_seconds)) {
                return false;
            }
        }
        return true;
    }
};
