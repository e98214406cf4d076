// Start-up end to end with settings files nobody means to write: noise,
// huge lines, other encodings, things that are not plain files, values at
// and past their capacity, empty values, NUL bytes and old Mac line ends.
// In every case molv must come through start-up in one piece, show exactly
// what the reader made of the file, and end on its error path with status 0.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_fixture.h"
#include "launch_modes.h"

extern char** environ;

namespace {

const char executable_missing[] = "  ERROR: Executeable not found!";
const char line_too_long[] = "  ERROR: Server command line is longer than 255 characters!";
const char custom_note[] = "[HH:MM:SS]   > Running MOLV in custom mode!\n";

std::string defaults_with_players(const std::string& players)
{
    return standard_summary("deusex.exe", "server.log", "DeathMatchGame", players,
                            "DXMP_Area51_Bunker");
}

// Everything molv shows from the banner to its key prompt, stamps masked.
std::string transcript(bool found, const std::string& notes, const std::string& summary,
                       const char* error)
{
    const launch_case shown = {"", "", "", notes.c_str(), summary.c_str(), ""};
    return expected_start(found, shown) + expected_refusal(error);
}

std::string defaults_transcript(bool found)
{
    return transcript(found, "", defaults_with_players("10"), executable_missing);
}

// Bytes from a fixed seed: the engine's output is defined by the language,
// so every machine writes the same file.
std::string noise(std::size_t size)
{
    std::mt19937 engine(20260307u);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(engine() & 0xFFu);
    }
    return bytes;
}

// `length` characters that run through the alphabet from `first`, so that a
// cut one character early or late shows.
std::string long_value(std::size_t length, char first)
{
    std::string value(length, ' ');
    for (std::size_t i = 0; i < length; ++i) {
        value[i] = static_cast<char>('a' + (static_cast<std::size_t>(first - 'a') + i) % 26);
    }
    return value;
}

// The file as Notepad saves it as "Unicode": UTF-16 little-endian with its
// byte-order mark and CR LF line ends.
std::string utf16(const std::string& text)
{
    std::string bytes = "\xFF\xFE";
    for (char c : text) {
        if (c == '\n') {
            bytes += std::string("\r\0", 2);
        }
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

std::string cr_only(const launch_case& mode)
{
    std::string text = mode.settings;
    for (char& c : text) {
        c = c == '\n' ? '\r' : c;
    }
    return text;
}

std::string mode_transcript(const launch_case& mode)
{
    return transcript(true, mode.notes, mode.summary, executable_missing);
}

const char with_nul_bytes[] = "[GAME\0ignored]\nmax_players=16\0ignored\n"
                              "game_startmap\0ignored=DXMP_Silo\n\0game_mode_std=Hidden\n";

struct bad_file_case {
    const char* name;
    std::string (*content)();
    bool server_installed; // so that start-up gets past the executable check
    std::string (*expected)();
};

const bad_file_case bad_files[] = {
    {"binary_noise", [] { return noise(64 * 1024); }, false,
     [] { return defaults_transcript(true); }},
    // After the noise a real section still counts: the noise swallows no line.
    {"noise_then_settings", [] { return noise(64 * 1024) + "\n[GAME]\nmax_players=16\n"; },
     false,
     [] { return transcript(true, "", defaults_with_players("16"), executable_missing); }},
    // One line of 10 MB that looks like settings but is one header-like line
    // whose name runs to its last bracket.
    {"ten_megabytes_in_one_line",
     [] {
         std::string line;
         while (line.size() < 10u * 1024 * 1024) {
             line += "[GAME]max_players=16 ";
         }
         return line;
     },
     false, [] { return defaults_transcript(true); }},
    {"ten_megabyte_value",
     [] { return "[GAME]\nmax_players=" + long_value(10u * 1024 * 1024, 'a') + "\n"; }, true,
     [] {
         return transcript(true, "", defaults_with_players(long_value(254, 'a')), line_too_long);
     }},
    {"byte_order_mark_only", [] { return std::string("\xEF\xBB\xBF"); }, false,
     [] { return defaults_transcript(true); }},
    {"byte_order_mark_then_settings",
     [] { return std::string("\xEF\xBB\xBF") + launch_cases[0].settings; }, false,
     [] { return mode_transcript(launch_cases[0]); }},
    // The reader works on bytes. In UTF-16 every second byte is NUL, so no
    // line begins with "[" and no name matches: the keys are not found as
    // such and every setting keeps its default.
    {"utf16_with_byte_order_mark", [] { return utf16(launch_cases[0].settings); }, false,
     [] { return defaults_transcript(true); }},
    // An empty game_mtl means custom mode, and an empty exename names no file.
    {"every_value_empty",
     [] {
         return std::string("[GENERAL]\nexename=\nlogfile=\nlogfile_backups=\n[GAME]\n"
                            "game_mtl=\ngame_mode_mtl=\ngame_mode_std=\ngame_package_custom=\n"
                            "game_mode_custom=\ngame_mutators_custom=\ngame_mutators=\n"
                            "game_startmap=\nmax_players=\n");
     },
     false,
     [] {
         return transcript(true, custom_note,
                           "             - Exe:           \n"
                           "             - Log:           \n"
                           "             - Game package:  \n"
                           "             - Game type:     \n"
                           "             - Max. players:  \n"
                           "             - Startmap:      \n",
                           executable_missing);
     }},
    // A NUL ends a section name, a key name or a value; a line that begins
    // with one has an empty name and matches nothing.
    {"nul_bytes",
     [] {
         return std::string(with_nul_bytes, sizeof with_nul_bytes - 1);
     },
     false,
     [] {
         return transcript(true, "",
                           standard_summary("deusex.exe", "server.log", "DeathMatchGame", "16",
                                            "DXMP_Silo"),
                           executable_missing);
     }},
    {"cr_only_mtl", [] { return cr_only(launch_cases[0]); }, false,
     [] { return mode_transcript(launch_cases[0]); }},
    {"cr_only_standard", [] { return cr_only(launch_cases[1]); }, false,
     [] { return mode_transcript(launch_cases[1]); }},
    {"cr_only_custom", [] { return cr_only(launch_cases[2]); }, false,
     [] { return mode_transcript(launch_cases[2]); }},
};

// Test names and failure messages show the case by its name.
void PrintTo(const bad_file_case& bad, std::ostream* out)
{
    *out << bad.name;
}

class bad_settings_file : public molv_test, public testing::WithParamInterface<bad_file_case> {};

std::string bad_file_name(const testing::TestParamInfo<bad_file_case>& info)
{
    return info.param.name;
}

} // namespace

TEST_P(bad_settings_file, StartUpShowsWhatTheReaderFindsAndEndsOnTheErrorPath)
{
    const bad_file_case& bad = GetParam();
    write_settings(bad.content());
    if (bad.server_installed) {
        ASSERT_TRUE(install_server(work, "deusex.exe"));
    }
    start();
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_TRUE(molv.exited) << "molv was ended by a signal";
    EXPECT_EQ(molv.exit_code, cannot_start_status);
    EXPECT_EQ(mask_stamps(output()), bad.expected());
    EXPECT_TRUE(server_records().empty());
}

INSTANTIATE_TEST_SUITE_P(, bad_settings_file, testing::ValuesIn(bad_files), bad_file_name);

namespace {

class value_length : public molv_test, public testing::WithParamInterface<std::size_t> {};

std::string length_name(const testing::TestParamInfo<std::size_t>& info)
{
    return "of_" + std::to_string(info.param);
}

} // namespace

TEST_P(value_length, EveryValueIsCutTo254AndTheLongCommandLineRefused)
{
    // Every key gets a value of this length, each running through the
    // alphabet from its own letter; game_mtl begins with 1 for mtl mode,
    // whose summary shows the most values.
    const std::size_t length = GetParam();
    const char* const general[] = {"exename", "logfile", "logfile_backups"};
    const char* const game[] = {"game_mtl",         "game_mode_mtl",
                                "game_mode_std",    "game_package_custom",
                                "game_mode_custom", "game_mutators_custom",
                                "game_mutators",    "game_startmap",
                                "max_players"};
    char first = 'a';
    std::string text = "[GENERAL]\n";
    for (const char* key : general) {
        text += std::string(key) + "=" + long_value(length, first++) + "\n";
    }
    text += "[GAME]\n";
    for (const char* key : game) {
        const std::string value = long_value(length, first++);
        text += std::string(key) + "=" + (key == game[0] ? "1" + value.substr(1) : value) + "\n";
    }
    write_settings(text);
    // The executable is found under the first 254 characters of exename
    // only, so the refusal that follows shows the cut took place right there.
    ASSERT_TRUE(install_server(work, long_value(254, 'a')));
    start();
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    EXPECT_TRUE(molv.exited) << "molv was ended by a signal";
    EXPECT_EQ(molv.exit_code, cannot_start_status);

    auto shown = [](char from) { return long_value(254, from); };
    EXPECT_EQ(mask_stamps(output()),
              transcript(true, "",
                         mtl_summary(shown('a'), shown('b'), shown('e'), shown('l'), shown('k'),
                                     shown('j')),
                         line_too_long));
    EXPECT_TRUE(server_records().empty());
}

INSTANTIATE_TEST_SUITE_P(, value_length, testing::Values(254u, 255u, 10000u), length_name);

namespace {

struct not_a_file_case {
    const char* name;
    bool (*make)(const std::string& path);
    bool unreadable; // molv runs without the right to read any file
};

// Each is there under the name molv.ini but gives molv nothing to read,
// which molv reports as a missing file. A pipe nobody writes to must not
// keep start-up waiting.
const not_a_file_case not_files[] = {
    {"directory", [](const std::string& path) { return mkdir(path.c_str(), 0755) == 0; },
     false},
    {"named_pipe", [](const std::string& path) { return mkfifo(path.c_str(), 0644) == 0; },
     false},
    {"file_without_read_permission",
     [](const std::string& path) {
         return write_file(path, launch_cases[0].settings) && chmod(path.c_str(), 0) == 0;
     },
     true},
};

void PrintTo(const not_a_file_case& kind, std::ostream* out)
{
    *out << kind.name;
}

class settings_not_a_file : public molv_test,
                            public testing::WithParamInterface<not_a_file_case> {};

std::string not_a_file_name(const testing::TestParamInfo<not_a_file_case>& info)
{
    return info.param.name;
}

} // namespace

TEST_P(settings_not_a_file, IsReportedMissingAndEveryDefaultHolds)
{
    const not_a_file_case& kind = GetParam();
    ASSERT_TRUE(kind.make(work + "/molv.ini")) << std::strerror(errno);
    molv_launch launch = launch_in_work();
    launch.without_read_override = kind.unreadable;
    ASSERT_TRUE(start_molv(launch, molv));
    ASSERT_TRUE(wait_for_end(molv, deadline_seconds));
    if (kind.unreadable && molv.exit_code == 125) {
        GTEST_SKIP() << "this system does not let a test drop root's right to read any file";
    }
    EXPECT_TRUE(molv.exited) << "molv was ended by a signal";
    EXPECT_EQ(molv.exit_code, cannot_start_status);
    EXPECT_EQ(mask_stamps(output()), defaults_transcript(false));
}

INSTANTIATE_TEST_SUITE_P(, settings_not_a_file, testing::ValuesIn(not_files), not_a_file_name);
