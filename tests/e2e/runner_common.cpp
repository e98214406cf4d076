// The parts of the runner that need no process services: files, texts and
// the stand-in's records.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "runner.h"

namespace fs = std::filesystem;

std::string molv_program;
std::string standin_program;

bool wait_until(const std::function<bool()>& condition, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            // One last look, so that a condition met just at the deadline counts.
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string read_file(const std::string& path)
{
    std::string content;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return content;
    }
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        content.append(buffer, got);
    }
    std::fclose(file);
    return content;
}

bool write_file(const std::string& path, const std::string& content)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

bool file_exists(const std::string& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

void remove_tree(const std::string& path)
{
    // On Windows a folder cannot go while a process still has it as its
    // current directory, and processes that were just stopped (and the
    // consoles they had) let go of it a little later; so removal is tried
    // again for a while.
    wait_until(
        [&path] {
            std::error_code error;
            fs::remove_all(path, error);
            return !fs::exists(path, error) && !error;
        },
        10.0);
}

std::vector<std::string> file_names(const std::string& directory)
{
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code kind_error;
        if (it->is_regular_file(kind_error)) {
            names.push_back(it->path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool install_server(const std::string& directory, const std::string& name)
{
    std::error_code error;
    fs::copy_file(standin_program, fs::path(directory) / name,
                  fs::copy_options::overwrite_existing, error);
    return !error;
}

std::vector<std::string> blank_separated_words(const std::string& text)
{
    std::vector<std::string> words;
    std::size_t start = text.find_first_not_of(" \t");
    while (start != std::string::npos) {
        std::size_t end = text.find_first_of(" \t", start);
        words.push_back(text.substr(start, end == std::string::npos ? std::string::npos
                                                                     : end - start));
        start = text.find_first_not_of(" \t", end);
    }
    return words;
}

std::vector<std::string> text_lines(const std::string& text, bool keep_partial)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            if (keep_partial && start < text.size()) {
                lines.push_back(text.substr(start));
            }
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

namespace {

bool digits_in_range(const std::string& text, std::size_t at, int highest)
{
    if (text[at] < '0' || text[at] > '9' || text[at + 1] < '0' || text[at + 1] > '9') {
        return false;
    }
    return (text[at] - '0') * 10 + (text[at + 1] - '0') <= highest;
}

// True when a "[HH:MM:SS]" stamp of a real time starts at `at`.
bool stamp_at(const std::string& text, std::size_t at)
{
    return at + 10 <= text.size() && text[at] == '[' && digits_in_range(text, at + 1, 23) &&
           text[at + 3] == ':' && digits_in_range(text, at + 4, 59) && text[at + 6] == ':' &&
           digits_in_range(text, at + 7, 59) && text[at + 9] == ']';
}

} // namespace

std::string mask_stamps(const std::string& text)
{
    std::string masked = text;
    for (std::size_t at = masked.find('['); at != std::string::npos;
         at = masked.find('[', at + 1)) {
        if (stamp_at(masked, at)) {
            masked.replace(at, 10, "[HH:MM:SS]");
        }
    }
    return masked;
}

std::vector<std::string> stamped_messages(const std::string& text)
{
    std::vector<std::string> messages;
    for (const std::string& line : text_lines(text)) {
        if (stamp_at(line, 0) && line.size() >= 11 && line[10] == ' ') {
            messages.push_back(line.substr(11));
        }
    }
    return messages;
}

std::size_t count_message(const std::string& text, const std::string& message)
{
    const std::vector<std::string> messages = stamped_messages(text);
    return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), message));
}

std::string standin_record::get(const std::string& key) const
{
    for (const auto& field : fields) {
        if (field.first == key) {
            return field.second;
        }
    }
    return "";
}

long standin_record::number(const std::string& key) const
{
    const std::string value = get(key);
    return value.empty() ? -1 : std::strtol(value.c_str(), nullptr, 10);
}

std::vector<standin_record> read_records(const std::string& folder)
{
    std::vector<standin_record> records;
    for (const std::string& line : text_lines(read_file(folder + "/records.txt"))) {
        standin_record record;
        std::size_t start = 0;
        for (;;) {
            std::size_t end = line.find('\t', start);
            std::string field = line.substr(start, end == std::string::npos ? std::string::npos
                                                                             : end - start);
            std::size_t equals = field.find('=');
            if (equals != std::string::npos) {
                record.fields.emplace_back(field.substr(0, equals), field.substr(equals + 1));
            }
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
        records.push_back(record);
    }
    return records;
}
