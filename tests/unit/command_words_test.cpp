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
