// One table of INI texts and queries, answered by the built-in lookup and by
// the platform's profile reader from a real file (on Windows, the system's
// own reader): both must give the same bytes and counts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "platform/profile_text.h"

namespace {

struct query_case {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    const char* default_value;
    unsigned long capacity;
    std::string answer;
};

std::string repeat(char c, std::size_t n)
{
    return std::string(n, c);
}

const std::string v253 = repeat('a', 253);
const std::string v254 = repeat('b', 254);
const std::string v255 = repeat('c', 255);
const std::string v300 = repeat('d', 300);
const std::string nul(1, '\0');

// Non-ASCII text and a byte-order mark stay out of this table: the Windows
// reader converts the file through the system code page and decides on its
// own how to take a byte-order mark, so what it answers for those depends on
// the machine and the Windows version; they are checked on the lookup alone.
const query_case cases[] = {
    {"plain value", "[GENERAL]\nexename=server.exe\n", "GENERAL", "exename", "d", 255, "server.exe"},
    {"missing key gives default", "[GENERAL]\nother=1\n", "GENERAL", "exename", "deusex.exe", 255, "deusex.exe"},
    {"missing section gives default", "[GENERAL]\nexename=x\n", "GAME", "exename", "dflt", 255, "dflt"},
    {"empty file gives default", "", "GAME", "k", "dflt", 255, "dflt"},
    {"header on the first line", "[A]\nk=1\n[B]\nk=2\n", "A", "k", "d", 255, "1"},
    {"second section", "[A]\nk=1\n[B]\nk=2\n", "B", "k", "d", 255, "2"},
    {"key before any section is not found", "k=0\n[A]\nk=1\n", "A", "k", "d", 255, "1"},
    {"section name case-insensitive", "[general]\nK=v\n", "GENERAL", "k", "d", 255, "v"},
    {"key name case-insensitive", "[A]\nMaX_PlAyErS=16\n", "A", "max_players", "d", 255, "16"},
    {"value case kept", "[A]\nk=MiXeD\n", "A", "k", "d", 255, "MiXeD"},
    {"names compare in full, longer key", "[A]\nkey2=x\n", "A", "key", "d", 255, "d"},
    {"names compare in full, shorter key", "[A]\nke=x\n", "A", "key", "d", 255, "d"},
    {"names compare in full, section", "[AB]\nk=x\n", "A", "k", "d", 255, "d"},
    {"blanks around equals dropped", "[A]\n  k \t=\t v  \n", "A", "k", "d", 255, "v"},
    {"blanks inside a value kept", "[A]\nk=a  b\tc\n", "A", "k", "d", 255, "a  b\tc"},
    {"blanks around header", "  [ A ]  \nk=v\n", "A", "k", "d", 255, "v"},
    {"text after header ignored", "[A] trailing\nk=v\n", "A", "k", "d", 255, "v"},
    {"header name up to last bracket", "[A]B]\nk=v\n", "A]B", "k", "d", 255, "v"},
    {"bracket line without close is a key", "[A]\n[B\nk=v\n", "A", "k", "d", 255, "v"},
    {"bracket line without close stays in section", "[A]\n[B=1\n", "A", "[B", "d", 255, "1"},
    {"empty value is not the default", "[A]\nk=\n", "A", "k", "dflt", 255, ""},
    {"empty value with blanks", "[A]\nk=   \n", "A", "k", "dflt", 255, ""},
    {"key without equals gives default", "[A]\nk\n", "A", "k", "dflt", 255, "dflt"},
    {"first key wins", "[A]\nk=1\nk=2\n", "A", "k", "d", 255, "1"},
    {"first key without value wins", "[A]\nk\nk=2\n", "A", "k", "dflt", 255, "dflt"},
    {"first section only", "[A]\nx=1\n[B]\n[A]\nk=2\n", "A", "k", "d", 255, "d"},
    {"duplicate section first value", "[A]\nk=1\n[A]\nk=2\n", "A", "k", "d", 255, "1"},
    {"split at first equals", "[A]\nk=a=b\n", "A", "k", "d", 255, "a=b"},
    {"semicolon line is a key", "[A]\n;k=1\n", "A", ";k", "d", 255, "1"},
    {"hash line is a key", "[A]\n# c=2\n", "A", "# c", "d", 255, "2"},
    {"no comment after value", "[A]\nk=v ; note\n", "A", "k", "d", 255, "v ; note"},
    {"commented key does not hide", "[A]\n;k=1\nk=2\n", "A", "k", "d", 255, "2"},
    {"double quotes removed", "[A]\nk=\"v w\"\n", "A", "k", "d", 255, "v w"},
    {"single quotes removed", "[A]\nk='v'\n", "A", "k", "d", 255, "v"},
    {"quoted blanks kept", "[A]\nk=\" v \"\n", "A", "k", "d", 255, " v "},
    {"only one pair removed", "[A]\nk=\"\"v\"\"\n", "A", "k", "d", 255, "\"v\""},
    {"mismatched quotes kept", "[A]\nk=\"v'\n", "A", "k", "d", 255, "\"v'"},
    {"quote at one end kept", "[A]\nk=\"v\n", "A", "k", "d", 255, "\"v"},
    {"empty quotes", "[A]\nk=\"\"\n", "A", "k", "d", 255, ""},
    {"default quotes removed", "", "A", "k", "\"dq\"", 255, "dq"},
    {"default trailing spaces removed", "", "A", "k", "abc   ", 255, "abc"},
    {"default keeps first character", "", "A", "k", "   ", 255, " "},
    {"default trailing tab kept", "", "A", "k", "abc\t", 255, "abc\t"},
    {"default leading spaces kept", "", "A", "k", "  abc", 255, "  abc"},
    {"empty default", "", "A", "k", "", 255, ""},
    {"CRLF line ends", "[A]\r\nk=v\r\nj=w\r\n", "A", "j", "d", 255, "w"},
    {"CR-only line ends", "[A]\rk=v\rj=w\r", "A", "j", "d", 255, "w"},
    {"mixed line ends", "[A]\n\rk=v\r\r\nj=w\n", "A", "j", "d", 255, "w"},
    {"no final line end", "[A]\nk=v", "A", "k", "d", 255, "v"},
    {"blank lines between", "\n\n[A]\n\n\nk=v\n\n", "A", "k", "d", 255, "v"},
    {"value of 253", "[A]\nk=" + v253 + "\n", "A", "k", "d", 255, v253},
    {"value of 254", "[A]\nk=" + v254 + "\n", "A", "k", "d", 255, v254},
    {"value of 255 cut to 254", "[A]\nk=" + v255 + "\n", "A", "k", "d", 255, repeat('c', 254)},
    {"value of 300 cut to 254", "[A]\nk=" + v300 + "\n", "A", "k", "d", 255, repeat('d', 254)},
    {"value after a long one", "[A]\nx=" + v300 + "\nk=v\n", "A", "k", "d", 255, "v"},
    {"small capacity", "[A]\nk=abcdef\n", "A", "k", "d", 4, "abc"},
    {"capacity of one", "[A]\nk=abcdef\n", "A", "k", "d", 1, ""},
    {"default cut to capacity", "", "A", "k", "abcdef", 3, "ab"},
    {"the twelve keys", "[GENERAL]\nexename=a.exe\nlogfile=l.log\nlogfile_backups=0\n[GAME]\n"
                        "game_mtl=1\ngame_startmap=Map\nmax_players=4\n",
     "GAME", "max_players", "10", 255, "4"},
    {"general keys beside a missing game section", "[GENERAL]\nlogfile=x.log\n", "GAME", "game_mtl", "0", 255, "0"},
    {"key with a space in its name", "[A]\nmy key=v\n", "A", "my key", "d", 255, "v"},
    {"path with blanks as value", "[A]\nk=C:\\Games\\Deus Ex\\System\\deusex.exe\n", "A", "k", "d", 255,
     "C:\\Games\\Deus Ex\\System\\deusex.exe"},
    {"question marks and dots", "[A]\nk=DXMP_Cmd?Game=X.Y\n", "A", "k", "d", 255, "DXMP_Cmd?Game=X.Y"},
    {"vertical tab and form feed are blanks", "[A]\n\vk\f=\fv\v\n", "A", "k", "d", 255, "v"},
    {"nul in value", "[A]\nk=ab" + nul + "cd\nj=w\n", "A", "k", "d", 255, "ab"},
    {"nul then later line", "[A]\nk=ab" + nul + "cd\nj=w\n", "A", "j", "d", 255, "w"},
    {"nul in key", "[A]\nk" + nul + "x=v\n", "A", "k", "d", 255, "v"},
    {"nul in section", "[A" + nul + "x]\nk=v\n", "A", "k", "d", 255, "v"},
    {"end-of-file mark is a blank", "[A]\nk=v\x1a\n", "A", "k", "d", 255, "v"},
    {"null default gives empty", "[A]\nj=v\n", "A", "k", nullptr, 255, ""},
    {"null default, key found", "[A]\nk=v\n", "A", "k", nullptr, 255, "v"},
    {"asked section trimmed", "[A]\nk=v\n", "  A\t", "k", "d", 255, "v"},
    {"asked key trimmed", "[A]\nk=v\n", "A", " \tk  ", "d", 255, "v"},
    {"asked names inner blanks kept", "[A]\nmy key=v\n", "A", "my  key", "d", 255, "d"},
    {"empty section finds keys before the first header", "k=0\n[A]\nk=1\n", "", "k", "d", 255, "0"},
    {"blank section finds keys before the first header", "k=0\n[A]\nk=1\n", "  ", "k", "d", 255, "0"},
    {"empty section stops at the first header", "j=0\n[A]\nk=1\n", "", "k", "d", 255, "d"},
    {"empty section in an empty file", "", "", "k", "d", 255, "d"},
    {"empty header is not the section without a name", "[]\nk=1\n", "", "k", "d", 255, "d"},
    {"empty header after keys", "j=0\n[]\nk=1\n", "", "k", "d", 255, "d"},
    {"empty key name", "[A]\n=5\n", "A", "", "d", 255, "5"},
};

std::filesystem::path write_temp(const std::string& text, int index)
{
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("molv_profile_" + std::to_string(index) + ".ini");
    std::ofstream(path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
    return std::filesystem::absolute(path);
}

} // namespace

TEST(ProfileTable, HasEnoughCases)
{
    EXPECT_GE(sizeof cases / sizeof cases[0], 60u);
}

TEST(ProfileTable, BuiltInLookup)
{
    for (const query_case& c : cases) {
        char out[512];
        std::memset(out, 'Z', sizeof out);
        unsigned long count = profile_lookup(c.text.data(), c.text.size(), c.section, c.key,
                                             c.default_value, out, c.capacity);
        EXPECT_EQ(std::string(out), c.answer) << c.name;
        EXPECT_EQ(count, c.answer.size()) << c.name;
    }
}

TEST(ProfileTable, PlatformReaderFromAFile)
{
    int index = 0;
    for (const query_case& c : cases) {
        std::filesystem::path path = write_temp(c.text, index++);
        char out[512];
        std::memset(out, 'Z', sizeof out);
        unsigned long count = platform_profile_string(c.section, c.key, c.default_value, out,
                                                      c.capacity, path.string().c_str());
        EXPECT_EQ(std::string(out), c.answer) << c.name;
        EXPECT_EQ(count, c.answer.size()) << c.name;
        std::filesystem::remove(path);
    }
}

TEST(ProfileReader, MissingFileOrDirectoryGivesTheDefault)
{
    char out[64];
    std::filesystem::path missing = std::filesystem::temp_directory_path() / "molv_no_such.ini";
    EXPECT_EQ(platform_profile_string("A", "k", "dflt", out, sizeof out, missing.string().c_str()), 4u);
    EXPECT_STREQ(out, "dflt");
    std::filesystem::path folder = std::filesystem::temp_directory_path();
    EXPECT_EQ(platform_profile_string("A", "k", "dflt", out, sizeof out, folder.string().c_str()), 4u);
    EXPECT_STREQ(out, "dflt");
}

// These depend on the system code page on Windows, so only the built-in
// lookup answers them.
TEST(ProfileLookup, ByteOrderMarkAndNonAsciiText)
{
    const struct {
        std::string text;
        const char* section;
        std::string answer;
    } cases_local[] = {
        {"\xEF\xBB\xBF[A]\nk=v\n", "A", "v"},
        {"\xEF\xBB\xBFk=v\n[A]\nk=w\n", "A", "w"},
        {"[A]\nk=\xC3\xA9t\xC3\xA9\n", "A", "\xC3\xA9t\xC3\xA9"},
        {"[\xC3\xA9]\nk=v\n", "\xC3\xA9", "v"},
        {"[\xC3\x89]\nk=v\n", "\xC3\xA9", "d"},
    };
    for (const auto& c : cases_local) {
        char out[64];
        unsigned long count =
            profile_lookup(c.text.data(), c.text.size(), c.section, "k", "d", out, sizeof out);
        EXPECT_EQ(std::string(out), c.answer) << c.text;
        EXPECT_EQ(count, c.answer.size());
    }
}
