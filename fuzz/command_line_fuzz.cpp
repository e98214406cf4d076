// Feeds arbitrary setting values through the path from the settings to the
// server's argument words: the launch mode, the summary, the composed command
// line and its split into words.
//
// Input: up to one value per setting, in the order of the settings, each ended by
// a NUL byte; a value longer than 254 characters is cut to 254, as the
// settings reader does, and a value the input does not reach keeps its
// default.
//
// The expected command line is built here from the templates as written in
// the launch rules, independently of the program's own composition, and the
// program's line must be exactly that, or its first 255 characters when it
// is longer; "fits" must say which.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/launch_profile.h"
#include "config/settings.h"
#include "platform/command_words.h"

namespace {

const unsigned char unwritten = 0xA5;

// One piece of a template: literal text, or the setting whose value goes in.
struct piece {
    const char* text;
    int value;
};

const int literal = -1;

const piece mtl_pieces[] = {
    {nullptr, exename},        {" ", literal},
    {nullptr, game_startmap},  {"?Game=DXMTL152b1.", literal},
    {nullptr, game_mode_mtl},  {"?Mutator=", literal},
    {nullptr, game_mutators},  {"?-server?log=", literal},
    {nullptr, logfile},        {"?MaxPlayers=", literal},
    {nullptr, max_players},    {"?", literal},
};

const piece standard_pieces[] = {
    {nullptr, exename},       {" ", literal},
    {nullptr, game_startmap}, {"?Game=DeusEx.", literal},
    {nullptr, game_mode_std}, {"?-server?log=", literal},
    {nullptr, logfile},       {"?MaxPlayers=", literal},
    {nullptr, max_players},   {"?", literal},
};

const piece custom_pieces[] = {
    {nullptr, exename},              {" ", literal},
    {nullptr, game_startmap},        {"?Game=", literal},
    {nullptr, game_package_custom},  {".", literal},
    {nullptr, game_mode_custom},     {"?Mutator=", literal},
    {nullptr, game_mutators_custom}, {"?-server?log=", literal},
    {nullptr, logfile},              {"?MaxPlayers=", literal},
    {nullptr, max_players},          {"?", literal},
};

std::string expected_line(const setting_value* values, launch_mode mode)
{
    const piece* pieces = standard_pieces;
    std::size_t count = sizeof standard_pieces / sizeof standard_pieces[0];
    if (mode == launch_mode::mtl) {
        pieces = mtl_pieces;
        count = sizeof mtl_pieces / sizeof mtl_pieces[0];
    } else if (mode == launch_mode::custom) {
        pieces = custom_pieces;
        count = sizeof custom_pieces / sizeof custom_pieces[0];
    }
    std::string line;
    for (std::size_t i = 0; i < count; ++i) {
        line += pieces[i].value == literal ? pieces[i].text : values[pieces[i].value];
    }
    return line;
}

// The values each summary shows, in order; -1 for the bMTL line.
const int mtl_summary[] = {exename,     logfile,       -1,           game_mode_mtl,
                           max_players, game_startmap, game_mutators};
const int standard_summary[] = {exename, logfile, -1, game_mode_std, max_players, game_startmap};
const int custom_summary[] = {exename,          logfile,     game_package_custom,
                              game_mode_custom, max_players, game_startmap};

void check_summary(const setting_value* values, launch_mode mode)
{
    const int* wanted = standard_summary;
    std::size_t wanted_count = sizeof standard_summary / sizeof standard_summary[0];
    if (mode == launch_mode::mtl) {
        wanted = mtl_summary;
        wanted_count = sizeof mtl_summary / sizeof mtl_summary[0];
    } else if (mode == launch_mode::custom) {
        wanted = custom_summary;
        wanted_count = sizeof custom_summary / sizeof custom_summary[0];
    }
    summary_line lines[summary_capacity];
    std::size_t count = summary_lines(values, mode, lines);
    if (count != wanted_count || count > summary_capacity) {
        std::abort();
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (lines[i].label == nullptr || std::strlen(lines[i].label) < 30) {
            std::abort();
        }
        // The value is the setting field itself, or empty for the bMTL line.
        bool right = wanted[i] < 0 ? lines[i].value != nullptr && lines[i].value[0] == '\0'
                                   : lines[i].value == values[wanted[i]];
        if (!right) {
            std::abort();
        }
    }
}

void check_words(const char* program, const char* line)
{
    static command_words words;
    if (!split_command_line(program, line, words)) {
        std::abort();
    }
    if (words.count == 0 || words.count >= command_words_capacity ||
        words.words[words.count] != nullptr || std::strcmp(words.words[0], program) != 0) {
        std::abort();
    }
    // The words after the program are the rest of the line without its
    // blanks, in order, none of them empty.
    std::string rest;
    for (const char* at = line + std::strlen(program); *at != '\0'; ++at) {
        if (*at != ' ' && *at != '\t') {
            rest += *at;
        }
    }
    std::string joined;
    for (std::size_t i = 1; i < words.count; ++i) {
        const char* word = words.words[i];
        if (word < words.storage || word >= words.storage + sizeof words.storage ||
            word[0] == '\0' || std::strpbrk(word, " \t") != nullptr) {
            std::abort();
        }
        joined += word;
    }
    if (joined != rest) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static setting_value values[setting_count];
    default_settings(values);

    const std::uint8_t* at = data;
    const std::uint8_t* end = data + size;
    for (int id = 0; id < setting_count && at < end; ++id) {
        const std::uint8_t* start = at;
        while (at < end && *at != 0) {
            ++at;
        }
        std::size_t length = static_cast<std::size_t>(at - start);
        if (length > setting_capacity - 1) {
            length = setting_capacity - 1;
        }
        std::memcpy(values[id], start, length);
        values[id][length] = '\0';
        if (at < end) {
            ++at;
        }
    }

    launch_mode mode = choose_launch_mode(values[game_mtl]);
    launch_mode wanted_mode = values[game_mtl][0] == '1'   ? launch_mode::mtl
                              : values[game_mtl][0] == '0' ? launch_mode::standard
                                                           : launch_mode::custom;
    if (mode != wanted_mode) {
        std::abort();
    }
    check_summary(values, mode);

    // The command line in a block of exactly its capacity.
    char* line = static_cast<char*>(std::malloc(command_line_capacity));
    if (line == nullptr) {
        std::abort();
    }
    std::memset(line, unwritten, command_line_capacity);
    bool fits = compose_command_line(values, mode, line, command_line_capacity);

    const void* terminator = std::memchr(line, '\0', command_line_capacity);
    if (terminator == nullptr) {
        std::abort();
    }
    std::size_t length = static_cast<std::size_t>(static_cast<const char*>(terminator) - line);
    std::string expected = expected_line(values, mode);
    bool expected_fits = expected.size() <= command_line_capacity - 1;
    if (fits != expected_fits || length > command_line_capacity - 1 ||
        expected.compare(0, length, line, length) != 0 ||
        length != (expected_fits ? expected.size() : command_line_capacity - 1)) {
        std::abort();
    }

    // The program refuses a line that does not fit, but even the cut one
    // begins with the whole program name and must split.
    check_words(values[exename], line);

    std::free(line);
    return 0;
}
