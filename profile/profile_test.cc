#include "profile.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;  // "..."s keeps embedded NULs

// A file's text, or none for a file that does not exist.
using Text = std::optional<std::string>;
const Text NONE;

// A scratch directory holding profile.ini with the given text.
struct Scratch {
    std::string dir, file;
    explicit Scratch(const Text &text)
    {
        char tmpl[] = "/tmp/profile_test.XXXXXX";
        dir = mkdtemp(tmpl);
        file = dir + "/profile.ini";
        if (text)
            std::ofstream(file, std::ios::binary) << *text;
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    Text Read() const
    {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            return NONE;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST(ProfileGet, StringsAndInts)
{
    // num: GetProfileInt with the default 99.
    struct Case {
        const char *name; Text file; const char *section, *key; int size, want; std::string value; int num;
    };
    const std::string x997(997, 'x');
    const Case cases[] = {
        {"case-insensitive; hex int is 0", "[UPDIMG]\nPUBTIME = 0x1F\n", "updimg", "pubtime", 32, 1, "0x1F", 0},
        {"CR LF file", "[a]\r\nx=0\r\nk = v w\r\n", "a", "k", 32, 1, "v w", 0},
        {"indented line", "[a]\n   key   =   value  \n", "a", "key", 32, 1, "value", 0},
        {"empty value is 0, not the default", "[a]\nk=\n", "a", "k", 32, 1, "", 0},
        {"blanks only value", "[a]\nk =   \t\n", "a", "k", 32, 1, "", 0},
        {"cut to size-1", "[a]\nk=abcdef\n", "a", "k", 4, 1, "abc", 0},
        {"size 1", "[a]\nk=abcdef\n", "a", "k", 1, 1, "", 0},
        {"key in a later section, text after a head", "[a] ; note\nx=1\n[b]\nk=2\n", "a", "k", 32, 1, "2", 2},
        {"key before the section does not count", "k=0\n[a]\nx=1\n", "a", "k", 32, 0, "untouched", 99},
        {"missing section, a longer head", "[ab]\nk=2\n", "a", "k", 32, 0, "untouched", 99},
        {"missing file", NONE, "a", "k", 32, 0, "untouched", 99},
        {"blanks inside brackets", "[ a ]\nk=1\n", "a", "k", 32, 0, "untouched", 99},
        {"comments, ks=, no =, \\v\\f", "[a]\n;k=1\n  #k=2\nks=1\nk\n\v\fk = 3\n", "a", "k", 32, 1, "3", 3},
        {"value keeps ; # = quotes", "[a]\nk= a;b#c \"q\" = d \n", "a", "k", 64, 1, "a;b#c \"q\" = d", 0},
        {"bytes 128-255 are not white space", "[a]\n\xa0k=1\nk=v\xa0\n", "a", "k", 32, 1, "v\xa0", 0},
        {"empty name matches []", "[]\nk=1\n", "", "k", 32, 1, "1", 1},
        {"long line comes in pieces", "[a]\nk=" + x997 + "yyy\n", "a", "k", 2000, 1, x997, 0},
        {"piece read as its own line", "[a]\n" + std::string(999, 'z') + "k=5\n", "a", "k", 32, 1, "5", 5},
        {"last line without newline", "[a]\nk=7", "a", "k", 32, 1, "7", 7},
        {"sign, junk after the digits", "[a]\nk= -7x\n", "a", "k", 32, 1, "-7x", -7},
        {"out of range saturates", "[a]\nk=99999999999999999\n", "a", "k", 32, 1, "99999999999999999", INT_MAX},
        {"only 19 characters count", "[a]\nk=0000000000000000001234\n", "a", "k", 32, 1, "0000000000000000001234", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s(c.file);
        char out[2000] = "untouched";
        EXPECT_EQ(GetProfileString(s.file.c_str(), c.section, c.key, out, c.size), c.want);
        EXPECT_EQ(std::string(out), c.value);
        EXPECT_EQ(GetProfileInt(s.file.c_str(), c.section, c.key, 99), c.num);
    }
}

TEST(ProfileGet, Sections)
{
    // An empty want: the result is null.
    struct Case { const char *name; Text file; std::vector<std::string> want; };
    std::string many = "[s]\n";
    std::vector<std::string> many_want;
    for (int i = 0; i < 60; i++) {
        many_want.push_back("key" + std::to_string(i) + "=" + std::string(40 + i, 'v'));
        many += " " + many_want.back() + " \n";
    }
    const std::string big = "k=" + std::string(997, 'b');
    const Case cases[] = {
        {"comments, lines without =", "[s]\n  a = 1 \n;c=0\n #d=4\nb=2\nnoequals\n[t]\nc=3\n", {"a=1", "b=2"}},
        {"case-insensitive head, CR LF", "[S]\r\nk = v\r\n", {"k=v"}},
        {"empty key and value", "[s]\n=x\ny=\n", {"=x", "y="}},
        {"no entry lines", "[s]\n;only\nnoequals\n[t]\nc=3\n", {}},
        {"missing section", "[t]\nc=3\n", {}},
        {"missing file", NONE, {}},
        {"grows past 1000 bytes", many, many_want},
        {"pieces of a long line", "[s]\n" + big + "=tail\n", {big, "=tail"}},
        // Each 999-character entry fills a 1000-byte block exactly.
        {"999-character entries", "[s]\n" + big + "\n" + big + "\n", {big, big}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s(c.file);
        char *block = GetProfileSection(s.file.c_str(), "s");
        EXPECT_EQ(block != nullptr, !c.want.empty());
        std::vector<std::string> got;
        for (const char *e = block; e != nullptr && *e != '\0'; e += strlen(e) + 1)
            got.push_back(e);
        EXPECT_EQ(got, c.want);
        free(block);
    }
}

TEST(ProfileSet, StringsAndSections)
{
    // key null: SetProfileSection with value as the list.
    struct Case { const char *name; Text before; const char *section, *key, *value; Text after; };
    const char *xy = "x=1\0y=2\0";
    const Case cases[] = {
        {"missing file created", NONE, "s", "k", "v", "[s]\nk = v\n"},
        {"empty file", "", "s", "k", "v", "[s]\nk = v\n"},
        {"missing section appended", "[a]\nx=1\n", "s", "k", "v", "[a]\nx=1\n[s]\nk = v\n"},
        {"created entry replaced", "[s]\nk = v\n", "s", "k", "v2", "[s]\nk=v2\n"},
        {"shorter value cuts the file", "[a]\nx=100\n", "a", "x", "1", "[a]\nx=1\n"},
        {"longer value, NUL kept", "[a]\nk=1\n[b]\nz=\0q\n"s, "a", "k", "12345", "[a]\nk=12345\n[b]\nz=\0q\n"s},
        {"comment above goes, any case", "[A]\nx=1\n;k\n\n  K = old\ny=2\n", "a", "k", "new", "[A]\nx=1\nk=new\ny=2\n"},
        {"inserted after the last entry, tail kept", "[a]\nx=1\n\n;end\n", "a", "k", "v", "[a]\nx=1\nk=v\n\n;end\n"},
        {"inserted before a head", "[a]\nx=1\n\n;b\n[b]\ny=2\n", "a", "k", "v", "[a]\nx=1\nk=v\n\n;b\n[b]\ny=2\n"},
        {"key of a later section untouched", "[a]\nx=1\n[b]\nk=2\n", "a", "k", "3", "[a]\nx=1\nk=3\n[b]\nk=2\n"},
        {"CR LF file", "[a]\r\nk=1\r\nz=2\r\n", "a", "k", "3", "[a]\r\nk=3\nz=2\r\n"},
        {"section appended after a last line without newline", "[a]\nx=1", "s", "k", "v", "[a]\nx=1\n[s]\nk = v\n"},
        {"entry inserted after a last line without newline", "[a]\nx=1", "a", "k", "v", "[a]\nx=1\nk=v\n"},
        {"entry inserted after a head without newline", "[a]", "a", "k", "v", "[a]\nk=v\n"},
        {"last line without newline replaced", "[a]\nk=1", "a", "k", "22", "[a]\nk=22\n"},
        {"body replaced", "[s]\na=1\n;c\n\nb=2\n[t]\nc=3\n", "s", nullptr, xy, "[s]\nx=1\ny=2\n[t]\nc=3\n"},
        {"last body, file cut", "[t]\nc=3\n[S]\na=1\n\n;tail\n", "s", nullptr, xy, "[t]\nc=3\n[S]\nx=1\ny=2\n"},
        {"deleted with lines above", "[t]\nc=3\n\n;s\n[s]\na=1\n[u]\nd=4\n", "s", nullptr, "", "[t]\nc=3\n[u]\nd=4\n"},
        {"first deleted with top lines", ";top\n\n[s]\na=1\n[t]\nc=3\n", "s", nullptr, "", "[t]\nc=3\n"},
        {"only section deleted", "[s]\na=1\n", "s", nullptr, "", ""},
        {"absent section, empty list", "[t]\nc=3\n", "s", nullptr, "", "[t]\nc=3\n"},
        {"absent section appended", "[t]\nc=3\n", "s", nullptr, xy, "[t]\nc=3\n[s]\nx=1\ny=2\n"},
        {"appended after a last line without newline", "[t]\nc=3", "s", nullptr, xy, "[t]\nc=3\n[s]\nx=1\ny=2\n"},
        {"list after a head without newline", "[s]", "s", nullptr, xy, "[s]\nx=1\ny=2\n"},
        {"missing file, list", NONE, "s", nullptr, xy, "[s]\nx=1\ny=2\n"},
        {"missing file, empty list", NONE, "s", nullptr, "", NONE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s(c.before);
        if (c.key != nullptr)
            SetProfileString(s.file.c_str(), c.section, c.key, c.value);
        else
            SetProfileSection(s.file.c_str(), c.section, c.value);
        EXPECT_EQ(s.Read(), c.after);
    }
}

TEST(ProfileSet, IntsAndUnwritablePlaces)
{
    Scratch s(NONE);
    SetProfileInt(s.file.c_str(), "a", "k", INT_MIN);
    SetProfileInt(s.file.c_str(), "a", "n", 5);
    EXPECT_EQ(s.Read(), "[a]\nk = -2147483648\nn=5\n");
    EXPECT_EQ(GetProfileInt(s.file.c_str(), "a", "k", 0), INT_MIN);

    const std::string nowhere = s.dir + "/missing/profile.ini";
    SetProfileString(nowhere.c_str(), "a", "k", "v");
    SetProfileSection(nowhere.c_str(), "a", "k=v\0");
    EXPECT_FALSE(std::filesystem::exists(nowhere));
}

}  // namespace
