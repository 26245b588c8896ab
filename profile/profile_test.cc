#include "profile.h"

#include <limits.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace {

class Profile : public testing::Test {
protected:
    char scratch[32] = "/tmp/profile_test.XXXXXX";
    std::string dir = mkdtemp(scratch), file = dir + "/p.ini";
    const char *path = file.c_str();
    ~Profile() override { std::filesystem::remove_all(dir); }
    std::string read()
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void write(const std::string &text) { std::ofstream(file, std::ios::binary) << text; }
};

// out: the value of a's k read into size bytes, "-" when none; num: as an int, default 99.
TEST_F(Profile, Get)
{
    const std::string x997(997, 'x');
    const struct { std::string file; int size; std::string out; int num; } cases[] = {
        {"[A]\nK = 0x1F\n", 32, "0x1F", 0}, {"[a]\r\nx=0\r\nk = v w\r\n", 32, "v w", 0},
        {"[a]\nk=abcdef\n", 4, "abc", 0}, {"[a] ; note\nx=1\n[b]\nk=-27x\n", 32, "-27x", -27},
        {"k=0\n[a]\nx=1\n", 32, "-", 99}, {"[ab]\nk=2\n[ a ]\nk=2\n", 32, "-", 99},
        {"[a]\n;k=1\n  #k=2\nks=1\nk\n\v\fk = 3\n", 32, "3", 3},
        {"[a]\n\xa0k=1\nk=v\xa0\n", 32, "v\xa0", 0}, {"[a]\nk=" + x997 + "yyy\n", 2000, x997, 0},
        {"[a]\nk= 99999999999999999 \n", 32, "99999999999999999", INT_MAX},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        write(c.file);
        char out[2000] = "-";
        EXPECT_EQ(GetProfileString(path, "a", "k", out, c.size), c.out != "-");
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(GetProfileInt(path, "a", "k", 99), c.num);
    }
    write("[s]\n  a = 1 \n;c=0\n=x\nnoequals\n[t]\nc=3\n");
    char *list = GetProfileSection(path, "S");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(std::string(list, 8), std::string("a=1\0=x\0\0", 8));
    free(list);
    EXPECT_EQ(GetProfileSection(path, "u"), nullptr);
}

// The file before and after (null: none); key null: SetProfileSection with value as the list.
TEST_F(Profile, Set)
{
    const char *xy = "x=1\0y=2\0";
    const struct { const char *before, *section, *key, *value, *after; } cases[] = {
        {"[a]\nx=100\n", "a", "x", "1", "[a]\nx=1\n"},
        {"[A]\nx=1\n;k\n\n  K = old\ny=2\n", "a", "k", "new", "[A]\nx=1\nk=new\ny=2\n"},
        {"[a]\nx=1\n\n;b\n[b]\nk=2\n", "a", "k", "v", "[a]\nx=1\nk=v\n\n;b\n[b]\nk=2\n"},
        {"[a]\r\nk=1\r\nz=2\r\n", "a", "k", "3", "[a]\r\nk=3\nz=2\r\n"},
        {"[a]\nx=1", "s", "k", "v", "[a]\nx=1\n[s]\nk = v\n"}, {"[a]", "a", "k", "v", "[a]\nk=v\n"},
        {"[s]\na=1\n;c\n\nb=2\n[t]\nc=3\n", "s", nullptr, xy, "[s]\nx=1\ny=2\n[t]\nc=3\n"},
        {"[t]\nc=3\n\n;s\n[s]\na=1\n[u]\nd=4\n", "s", nullptr, "", "[t]\nc=3\n[u]\nd=4\n"},
        {"[t]\nc=3", "s", nullptr, xy, "[t]\nc=3\n[s]\nx=1\ny=2\n"},
        {nullptr, "s", nullptr, xy, "[s]\nx=1\ny=2\n"}, {nullptr, "s", nullptr, "", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        unlink(path);
        if (c.before)
            write(c.before);
        if (c.key)
            EXPECT_EQ(SetProfileString(path, c.section, c.key, c.value), 0);
        else
            SetProfileSection(path, c.section, c.value);
        EXPECT_EQ(std::filesystem::exists(file), c.after != nullptr);
        EXPECT_EQ(read(), c.after ? c.after : "");
    }
    EXPECT_EQ(SetProfileInt(path, "a", "k", INT_MIN), 0);
    EXPECT_EQ(GetProfileInt(path, "a", "k", 0), INT_MIN);
    // A size limit lets the new entry in but not the saved rest: -1, and no shorter file.
    const std::string before = "[a]\nk=1\n" + std::string(9000, ';') + "\n";
    write(before);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = {4096, old.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    int rc = SetProfileString(path, "a", "k", "22");
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(read().size(), before.size());
}

}  // namespace
