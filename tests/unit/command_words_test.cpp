#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_words.h"

namespace {

std::vector<std::string> split(const char* exename, const char* line, bool* ok = nullptr)
{
    static command_words words;
    bool result = split_command_line(exename, line, words);
    if (ok != nullptr) {
        *ok = result;
    }
    std::vector<std::string> out;
    if (result) {
        for (std::size_t i = 0; i < words.count; ++i) {
            out.push_back(words.words[i]);
        }
        EXPECT_EQ(words.words[words.count], nullptr);
    }
    return out;
}

using words_t = std::vector<std::string>;

} // namespace

TEST(CommandWords, TheProgramWholeAndTheRestSplitAtBlanks)
{
    EXPECT_EQ(split("deusex.exe", "deusex.exe Map?Game=DeusEx.DM?-server?log=s.log?MaxPlayers=10?"),
              (words_t{"deusex.exe", "Map?Game=DeusEx.DM?-server?log=s.log?MaxPlayers=10?"}));
    EXPECT_EQ(split("my server.exe", "my server.exe Map?x"),
              (words_t{"my server.exe", "Map?x"}));
    EXPECT_EQ(split("./s", "./s  a\tb  c "), (words_t{"./s", "a", "b", "c"}));
    EXPECT_EQ(split("s", "s"), (words_t{"s"}));
    EXPECT_EQ(split("", " Map?x"), (words_t{"", "Map?x"}));
}

TEST(CommandWords, RefusesALineThatDoesNotBeginWithTheProgram)
{
    bool ok = true;
    split("server", "other Map", &ok);
    EXPECT_FALSE(ok);
}

TEST(CommandWords, TheLongestLineOfSingleCharacterWordsFits)
{
    std::string line = "s";
    while (line.size() + 2 <= 255) {
        line += " x";
    }
    bool ok = false;
    words_t words = split("s", line.c_str(), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(words.size(), 128u);
}

namespace {

std::string event_line(const char* program, const char* event, const char* detail,
                       std::size_t capacity = 1024, bool* ok = nullptr)
{
    std::vector<char> buffer(capacity + 1, '#');
    bool result = compose_event_command_line(program, event, detail, buffer.data(), capacity);
    if (ok != nullptr) {
        *ok = result;
    }
    EXPECT_EQ(buffer[capacity], '#') << "written past the capacity";
    if (capacity > 0) {
        EXPECT_LT(std::string(buffer.data()).size(), capacity);
    }
    return capacity > 0 ? std::string(buffer.data()) : std::string();
}

} // namespace

TEST(EventCommandLine, QuotesTheProgramAndTheDetailAndKeepsQuotesFromBreakingOut)
{
    EXPECT_EQ(event_line("on event.bat", "ended", "exit 3221225477"),
              "\"on event.bat\" ended \"exit 3221225477\"");
    EXPECT_EQ(event_line("C:\\tools\\notify.cmd", "started", ""),
              "\"C:\\tools\\notify.cmd\" started \"\"");
    EXPECT_EQ(event_line("notify.exe", "scheduled", "say \"hi\" & exit"),
              "\"notify.exe\" scheduled \"say 'hi' & exit\"");
    // Backslashes before the closing quote would otherwise escape it.
    EXPECT_EQ(event_line("n.exe", "ended", "C:\\logs\\"), "\"n.exe\" ended \"C:\\logs\\\\\"");
}

TEST(EventCommandLine, CutsTheDetailToFitButNeverTheRest)
{
    // `"p" e ` is 6 characters; the detail's quotes and the terminator 3.
    EXPECT_EQ(event_line("p", "e", "0123456789", 6 + 13), "\"p\" e \"0123456789\"");
    EXPECT_EQ(event_line("p", "e", "0123456789", 6 + 12), "\"p\" e \"012345678\"");
    EXPECT_EQ(event_line("p", "e", "0123456789", 6 + 3), "\"p\" e \"\"");
    // A cut that would end in a backslash keeps room for its double.
    EXPECT_EQ(event_line("p", "e", "abc\\de", 6 + 3 + 4), "\"p\" e \"abc\"");
    EXPECT_EQ(event_line("p", "e", "abc\\", 6 + 3 + 5), "\"p\" e \"abc\\\\\"");
    EXPECT_EQ(event_line("p", "e", "abc\\", 6 + 3 + 4), "\"p\" e \"abc\"");

    bool ok = true;
    EXPECT_EQ(event_line("p", "e", "", 6 + 2, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(event_line("program", "e", "", 8, &ok), "");
    EXPECT_FALSE(ok);
    event_line("p", "e", "x", 0, &ok);
    EXPECT_FALSE(ok);
}
