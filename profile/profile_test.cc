#include "profile.h"
#include "profile_internal.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Scratch {
    std::string dir;
    Scratch()
    {
        char tmpl[] = "/tmp/profile_test.XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string file() const { return dir + "/profile.ini"; }
};

void Write(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// A section list as its strings, the closing empty string left out.
std::vector<std::string> ListStrings(const char *block)
{
    std::vector<std::string> out;
    for (; *block != '\0'; block += strlen(block) + 1)
        out.push_back(block);
    return out;
}

std::string LongValue(size_t n, char c)
{
    return std::string(n, c);
}

TEST(ProfileLines, KindsOfLine)
{
    struct Case { const char *line; const char *want; };
    const Case cases[] = {
        {"", nullptr},
        {" \t\r\n", nullptr},
        {"  ; comment\n", nullptr},
        {"# comment\n", nullptr},
        {"  [head]\n", "[head]\n"},
        {"\v\fkey=1\n", "key=1\n"},
        {"\xa0key=1\n", "\xa0key=1\n"},  // bytes 128-255 are not white space
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string line = c.line;
        char *got = jumpOverSpace(line.data());
        if (c.want == nullptr)
            EXPECT_EQ(got, nullptr);
        else
            EXPECT_STREQ(got, c.want);
    }
}

TEST(ProfileLines, LocateSectionStartAndStream)
{
    Scratch s;
    Write(s.file(), "x=1\n\n;about s\n[S] tail\nk=2\n");
    FILE *fp = fopen(s.file().c_str(), "r");
    char line[PROFILE_LINE_SIZE];
    EXPECT_EQ(_ForwardLocateSection(fp, "s", line), 4);
    ASSERT_NE(fgets(line, sizeof line, fp), nullptr);
    EXPECT_STREQ(line, "k=2\n");
    rewind(fp);
    EXPECT_EQ(_ForwardLocateSection(fp, "t", line), -1);
    EXPECT_TRUE(feof(fp));
    rewind(fp);
    EXPECT_EQ(_ForwardLocateSection(fp, "s", nullptr), -1);
    fclose(fp);
}

TEST(ProfileLines, RestOfFileAndSectionPairs)
{
    Scratch s;
    Write(s.file(), std::string("ab\0c", 4));
    FILE *fp = fopen(s.file().c_str(), "r+");
    long length = 7;
    fseek(fp, 1, SEEK_SET);
    char *rest = readRestOfFile(fp, &length);
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(std::string(rest, 4), std::string("b\0c\0", 4));
    free(rest);
    EXPECT_EQ(readRestOfFile(fp, &length), nullptr);
    EXPECT_EQ(length, 0);
    rewind(fp);
    writeSectionKVPairs(fp, nullptr);
    writeSectionKVPairs(fp, "");
    writeSectionKVPairs(fp, "k=1\0v=\0");
    fclose(fp);
    EXPECT_EQ(Read(s.file()), "k=1\nv=\n");
}

TEST(ProfileGet, Strings)
{
    struct Case {
        const char *name;
        std::string file;
        const char *section, *key;
        int size;
        int want;
        std::string value;
    };
    const std::string long_key_line = "k=" + LongValue(997, 'x') + "yyy\n";
    const Case cases[] = {
        {"case-insensitive head and key", "[UPDIMG]\nPUBTIME = 0x10\n", "updimg", "pubtime", 32, 1, "0x10"},
        {"CR LF file", "[a]\r\nx=0\r\nk = v w\r\n", "a", "k", 32, 1, "v w"},
        {"indented line", "[a]\n   key   =   value  \n", "a", "key", 32, 1, "value"},
        {"empty value", "[a]\nk=\n", "a", "k", 32, 1, ""},
        {"blanks only value", "[a]\nk =   \t\n", "a", "k", 32, 1, ""},
        {"cut to size-1", "[a]\nk=abcdef\n", "a", "k", 4, 1, "abc"},
        {"size 1", "[a]\nk=abcdef\n", "a", "k", 1, 1, ""},
        {"key in a later section", "[a]\nx=1\n[b]\nk=2\n", "a", "k", 32, 1, "2"},
        {"key before the section does not count", "k=0\n[a]\nx=1\n", "a", "k", 32, 0, "untouched"},
        {"missing section", "[b]\nk=2\n", "a", "k", 32, 0, "untouched"},
        {"missing key", "[a]\nx=1\n", "a", "k", 32, 0, "untouched"},
        {"blanks inside brackets", "[ a ]\nk=1\n", "a", "k", 32, 0, "untouched"},
        {"text after the head", "[a] ; note\nk=1\n", "a", "k", 32, 1, "1"},
        {"longer key and missing =", "[a]\nks=1\nk\nk = 2\n", "a", "k", 32, 1, "2"},
        {"comment lines", "[a]\n;k=1\n  #k=2\nk=3\n", "a", "k", 32, 1, "3"},
        {"value keeps ; # = quotes", "[a]\nk= a;b#c \"q\" = d \n", "a", "k", 64, 1, "a;b#c \"q\" = d"},
        {"bytes 128-255 are kept", "[a]\n\xa0k=1\nk=v\xa0\n", "a", "k", 32, 1, "v\xa0"},
        {"empty name matches []", "[]\nk=1\n", "", "k", 32, 1, "1"},
        {"long line comes in pieces", "[a]\n" + long_key_line, "a", "k", 2000, 1, LongValue(997, 'x')},
        {"piece read as its own line", "[a]\n" + LongValue(999, 'z') + "k=5\n", "a", "k", 32, 1, "5"},
        {"last line without newline", "[a]\nk=7", "a", "k", 32, 1, "7"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        Write(s.file(), c.file);
        char out[2000] = "untouched";
        EXPECT_EQ(GetProfileString(s.file().c_str(), c.section, c.key, out, c.size), c.want);
        EXPECT_EQ(std::string(out), c.value);
    }
}

TEST(ProfileGet, MissingFile)
{
    Scratch s;
    char out[8] = "keep";
    EXPECT_EQ(GetProfileString(s.file().c_str(), "a", "k", out, sizeof out), 0);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(GetProfileInt(s.file().c_str(), "a", "k", -3), -3);
    EXPECT_EQ(GetProfileSection(s.file().c_str(), "a"), nullptr);
}

TEST(ProfileGet, Ints)
{
    struct Case { const char *name; const char *file; int want; };
    const Case cases[] = {
        {"hexadecimal reads as 0", "[a]\nk=0x1F\n", 0},
        {"decimal", "[a]\nk = 42\n", 42},
        {"sign", "[a]\nk= -7x\n", -7},
        {"no digits", "[a]\nk=abc\n", 0},
        {"empty value is 0, not the default", "[a]\nk=\n", 0},
        {"missing key gives the default", "[a]\nx=1\n", 99},
        {"out of range saturates", "[a]\nk=99999999999999999\n", 2147483647},
        {"only 19 characters count", "[a]\nk=0000000000000000001234\n", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        Write(s.file(), c.file);
        EXPECT_EQ(GetProfileInt(s.file().c_str(), "a", "k", 99), c.want);
    }
}

TEST(ProfileGet, Sections)
{
    struct Case { const char *name; std::string file; bool found; std::vector<std::string> want; };
    std::string many = "[s]\n";
    std::vector<std::string> many_want;
    for (int i = 0; i < 60; i++) {
        std::string entry = "key" + std::to_string(i) + "=" + LongValue(40 + i, 'v');
        many += " " + entry + " \n";
        many_want.push_back(entry);
    }
    const std::string big = "k=" + LongValue(997, 'b');
    const Case cases[] = {
        {"entries, comments and lines without =",
         "[s]\n  a = 1 \n;c\nb=2\nnoequals\n[t]\nc=3\n", true, {"a=1", "b=2"}},
        {"case-insensitive head, CR LF", "[S]\r\nk = v\r\n", true, {"k=v"}},
        {"empty key and value", "[s]\n=x\ny=\n", true, {"=x", "y="}},
        {"no entry lines", "[s]\n;only\nnoequals\n[t]\nc=3\n", false, {}},
        {"missing section", "[t]\nc=3\n", false, {}},
        {"grows past 1000 bytes", many, true, many_want},
        {"pieces of a long line", "[s]\n" + big + "=tail\n", true, {big, "=tail"}},
        {"999-character entry fills a block", "[s]\n" + big + "\n", true, {big}},
        {"two of them", "[s]\n" + big + "\n" + big + "\n", true, {big, big}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        Write(s.file(), c.file);
        char *block = GetProfileSection(s.file().c_str(), "s");
        EXPECT_EQ(block != nullptr, c.found);
        if (block != nullptr) {
            EXPECT_EQ(ListStrings(block), c.want);
        }
        free(block);
    }
}

// before == nullptr: no file. after == nullptr: no file afterwards.
struct SetCase {
    const char *name;
    const char *before;
    const char *section, *key, *value;
    const char *after;
};

TEST(ProfileSet, Strings)
{
    const SetCase cases[] = {
        {"missing file created", nullptr, "s", "k", "v", "[s]\nk = v\n"},
        {"empty file", "", "s", "k", "v", "[s]\nk = v\n"},
        {"missing section appended", "[a]\nx=1\n", "s", "k", "v", "[a]\nx=1\n[s]\nk = v\n"},
        {"created entry replaced", "[s]\nk = v\n", "s", "k", "v2", "[s]\nk=v2\n"},
        {"shorter value cuts the file", "[a]\nx=100\n", "a", "x", "1", "[a]\nx=1\n"},
        {"longer value in the middle", "[a]\nk=1\n[b]\ny=2\n", "a", "k", "12345", "[a]\nk=12345\n[b]\ny=2\n"},
        {"comment above the entry goes", "[a]\nx=1\n;about k\n\nk=old\ny=2\n", "a", "k", "new",
         "[a]\nx=1\nk=new\ny=2\n"},
        {"inserted after the last entry, tail kept", "[a]\nx=1\n\n;end\n", "a", "k", "v",
         "[a]\nx=1\nk=v\n\n;end\n"},
        {"inserted before the next head", "[a]\nx=1\n\n;b\n[b]\ny=2\n", "a", "k", "v",
         "[a]\nx=1\nk=v\n\n;b\n[b]\ny=2\n"},
        {"key of a later section untouched", "[a]\nx=1\n[b]\nk=2\n", "a", "k", "3",
         "[a]\nx=1\nk=3\n[b]\nk=2\n"},
        {"empty section", "[a]\n[b]\n", "a", "k", "v", "[a]\nk=v\n[b]\n"},
        {"case-insensitive", "[A]\n  K = 1\n", "a", "k", "2", "[A]\nk=2\n"},
        {"CR LF file", "[a]\r\nk=1\r\nz=2\r\n", "a", "k", "3", "[a]\r\nk=3\nz=2\r\n"},
        {"appended section after a last line without newline", "[a]\nx=1", "s", "k", "v",
         "[a]\nx=1\n[s]\nk = v\n"},
        {"inserted entry after a last line without newline", "[a]\nx=1", "a", "k", "v",
         "[a]\nx=1\nk=v\n"},
        {"inserted entry after a head without newline", "[a]", "a", "k", "v", "[a]\nk=v\n"},
        {"replaced last line without newline", "[a]\nk=1", "a", "k", "22", "[a]\nk=22\n"},
        {"bytes 128-255 kept", "[a]\nk=\xff\xfe\n# \xe4\n", "a", "k", "1", "[a]\nk=1\n# \xe4\n"},
    };
    for (const SetCase &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        if (c.before != nullptr)
            Write(s.file(), c.before);
        SetProfileString(s.file().c_str(), c.section, c.key, c.value);
        EXPECT_EQ(Read(s.file()), c.after);
    }
}

TEST(ProfileSet, KeepsBytesAfterNul)
{
    Scratch s;
    const std::string tail("[b]\nz=\0q\n", 9);
    Write(s.file(), "[a]\nk=1\n" + tail);
    SetProfileString(s.file().c_str(), "a", "k", "22");
    EXPECT_EQ(Read(s.file()), "[a]\nk=22\n" + tail);
}

TEST(ProfileSet, IntsAndUnwritablePlaces)
{
    Scratch s;
    SetProfileInt(s.file().c_str(), "a", "k", -2147483647 - 1);
    SetProfileInt(s.file().c_str(), "a", "n", 5);
    EXPECT_EQ(Read(s.file()), "[a]\nk = -2147483648\nn=5\n");
    EXPECT_EQ(GetProfileInt(s.file().c_str(), "a", "k", 0), -2147483647 - 1);

    const std::string nowhere = s.dir + "/missing/profile.ini";
    SetProfileString(nowhere.c_str(), "a", "k", "v");
    SetProfileSection(nowhere.c_str(), "a", "k=v\0");
    EXPECT_FALSE(Exists(nowhere));
}

TEST(ProfileSet, Sections)
{
    struct Case { const char *name; const char *before; const char *list; const char *after; };
    const char *xy = "x=1\0y=2\0";
    const Case cases[] = {
        {"body replaced", "[s]\na=1\n;c\n\nb=2\n[t]\nc=3\n", xy, "[s]\nx=1\ny=2\n[t]\nc=3\n"},
        {"last section, file cut", "[t]\nc=3\n[S]\na=1\n\n;tail\n", xy, "[t]\nc=3\n[S]\nx=1\ny=2\n"},
        {"deleted with the lines above its head", "[t]\nc=3\n\n;about s\n[s]\na=1\n[u]\nd=4\n", "",
         "[t]\nc=3\n[u]\nd=4\n"},
        {"first section deleted with the top comments", ";top\n\n[s]\na=1\n[t]\nc=3\n", "", "[t]\nc=3\n"},
        {"last section deleted", "[t]\nc=3\n[s]\na=1\n", "", "[t]\nc=3\n"},
        {"only section deleted", "[s]\na=1\n", "", ""},
        {"absent section, empty list", "[t]\nc=3\n", "", "[t]\nc=3\n"},
        {"absent section appended", "[t]\nc=3\n", xy, "[t]\nc=3\n[s]\nx=1\ny=2\n"},
        {"appended after a last line without newline", "[t]\nc=3", xy, "[t]\nc=3\n[s]\nx=1\ny=2\n"},
        {"head without newline", "[s]", xy, "[s]\nx=1\ny=2\n"},
        {"missing file created", nullptr, xy, "[s]\nx=1\ny=2\n"},
        {"missing file, empty list", nullptr, "", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        if (c.before != nullptr)
            Write(s.file(), c.before);
        SetProfileSection(s.file().c_str(), "s", c.list);
        EXPECT_EQ(Exists(s.file()), c.after != nullptr);
        if (c.after != nullptr) {
            EXPECT_EQ(Read(s.file()), c.after);
        }
    }
}

}  // namespace
