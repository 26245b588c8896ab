// Runs the built pk2update with command lines of every shape and compares
// standard output, standard error, exit status and what was installed.
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "pk2pack.h"

namespace {

std::string Usage(const std::string &prog)
{
    const char *p = prog.c_str();
    char text[4096];
    snprintf(text, sizeof(text),
             "Usage:\n%s -h|-?\n%s -d ident [-c inifile] [-r] [-b] [-V] [-m mount_dir] "
             "[[-i image_path_in_partition] | pk2_file_path]\n%s --md5 file\n"
             "\t-d\tidentier the image should match\n"
             "\t-c\tinifile to save pubtime of image\n"
             "\t-b\treboot after process updating.\n"
             "\t-r\tremove pk2 file after process updating.\n"
             "\t-m\tdirectory to mount partition, default '/tmp/mnt'\n"
             "\t-i\tIMAGE_PATH in the partition. default \"/ipcam\"\n"
             "\t-V\tverbose\n"
             "\tpk2_file_path\tpath to pk2 file. if omitted, update from \"IMAGE_PATH\" "
             "of partition\n",
             p, p, p);
    return text;
}

// The digest line md5sum gives, in our form: one space instead of two.
std::string Md5sumLine(const std::string &path)
{
    RunResult r = RunProgram({"md5sum", path});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(32u, r.out.find("  "));
    return r.out.substr(0, 32) + " " + path + "\n";
}

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(gen());
    return s;
}

void ReplaceAll(std::string &s, const std::string &from, const std::string &to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

// A scratch directory with an empty file, a sound package (identifier 5,
// one file and one command, both landing in the directory) and the same
// package with a wrong digest.
struct Fixture {
    ScratchDir dir;
    std::string target = dir.file("out/installed.txt");
    std::string ran = dir.file("ran");

    Fixture()
    {
        WriteFile(dir.file("empty"), "");
        PackSpec desc;
        desc.ident = 5;
        desc.pubtime = 0x5F000001;
        desc.entries.push_back(PackFile(target, "installed\n"));
        desc.entries.push_back(PackCmd("touch " + ran));
        EXPECT_TRUE(PackWrite(dir.file("good.pk2"), desc));
        desc.entries[0].md5 = PackDigest{};
        EXPECT_TRUE(PackWrite(dir.file("bad.pk2"), desc));
    }

    // Replaces {dir}, {usage} and {md5:NAME} (md5sum's digest line of NAME).
    std::string Expand(std::string s) const
    {
        ReplaceAll(s, "{usage}", Usage(BuiltProgram("pk2update")));
        for (size_t at; (at = s.find("{md5:")) != std::string::npos;) {
            size_t end = s.find('}', at);
            s.replace(at, end + 1 - at, Md5sumLine(dir.file(s.substr(at + 5, end - at - 5))));
        }
        ReplaceAll(s, "{dir}", dir.path);
        return s;
    }
};

struct Row {
    const char *name;
    std::vector<std::string> args;
    const char *out;
    const char *err;
    int status;
    bool installed;  // the package's file written and its command run
};

const char UNMATCHED[] = "Update from {dir}/good.pk2 ...\nError or unmatched package file.\n\n";
const char INSTALLED_OUT[] = "PUBTIME: 0x5F000001\n";
const char INSTALLED_ERR[] = "Update from {dir}/good.pk2 ...\n";

const Row kRows[] = {
    {"no arguments", {}, "{usage}", "", 1, false},
    {"-h", {"-h"}, "{usage}", "", 1, false},
    {"-h after a package", {"-d", "5", "{dir}/good.pk2", "-h"}, "{usage}", "", 1, false},
    {"question mark in an option", {"-b?"}, "{usage}", "", 1, false},
    {"question mark in a package path", {"-d", "5", "{dir}/good?.pk2"}, "{usage}", "", 1, false},
    {"question mark ends the scan", {"-x", "a?b", "-y", "--md5", "{dir}/empty"},
     "{usage}", "Unrecognized option: -x\n", 1, false},
    {"-h before an option without value", {"-h", "-d"}, "{usage}", "", 1, false},
    {"unknown option, scan goes on", {"-x", "--md5", "-", "{dir}/empty"},
     "{md5:empty}", "Unrecognized option: -x\nUnrecognized option: -\n", 0, false},
    {"-d standing last", {"--md5", "{dir}/empty", "-d"}, "{usage}", "", 1, false},
    {"-m standing last", {"--md5", "{dir}/empty", "-m"}, "{usage}", "", 1, false},
    {"-c standing last", {"--md5", "{dir}/empty", "-c"}, "{usage}", "", 1, false},
    {"-i standing last", {"--md5", "{dir}/empty", "-i"}, "{usage}", "", 1, false},
    {"a value is taken whatever it looks like",
     {"-c", "a?b", "-i", "-h", "-m", "--md5", "--md5", "{dir}/empty"}, "{md5:empty}", "", 0, false},
    {"--md5 without a path", {"--md5"}, "{usage}", "", 1, false},
    {"--md5 of a missing file", {"--md5", "{dir}/missing"}, "", "Can not open {dir}/missing\n",
     3, false},
    {"--md5 of a directory", {"--md5", "{dir}"}, "", "Can not open {dir}\n", 3, false},
    {"--md5 wins over -d and a package", {"-d", "5", "{dir}/good.pk2", "--md5"},
     "{md5:good.pk2}", "", 0, false},
    {"--md5 of the second path", {"--md5", "{dir}/good.pk2", "{dir}/empty"}, "{md5:empty}", "",
     0, false},
    {"verify", {"{dir}/good.pk2"}, "", "", 0, false},
    {"-d 0xFFFFFFFF verifies", {"-d", "0xFFFFFFFF", "{dir}/good.pk2"}, "", "", 0, false},
    {"-d -1 verifies", {"-d", "-1", "{dir}/good.pk2"}, "", "", 0, false},
    {"verify failure is 254", {"{dir}/bad.pk2"}, "", "verify pk2 failed.\n", 254, false},
    {"unopenable package is 255", {"{dir}/missing.pk2"}, "",
     "Can't open file: {dir}/missing.pk2\n", 255, false},
    {"second package verified", {"{dir}/bad.pk2", "{dir}/good.pk2"}, "", "", 0, false},
    {"second package refused", {"{dir}/good.pk2", "{dir}/bad.pk2"}, "", "verify pk2 failed.\n",
     254, false},
    {"-d 5 installs", {"-d", "5", "{dir}/good.pk2"}, INSTALLED_OUT, INSTALLED_ERR, 0, true},
    {"-d 0x5 installs", {"-d", "0x5", "{dir}/good.pk2"}, INSTALLED_OUT, INSTALLED_ERR, 0, true},
    {"-d 05 installs", {"-d", "05", "{dir}/good.pk2"}, INSTALLED_OUT, INSTALLED_ERR, 0, true},
    {"-d 0 installs any package", {"-d", "0", "{dir}/good.pk2"}, INSTALLED_OUT, INSTALLED_ERR, 0,
     true},
    {"-d 6 does not match", {"-d", "6", "{dir}/good.pk2"}, "", UNMATCHED, 255, false},
    {"-d 010 is octal 8", {"-d", "010", "{dir}/good.pk2"}, "", UNMATCHED, 255, false},
    {"-d -4294967291 wraps to 5", {"-d", "-4294967291", "{dir}/good.pk2"}, INSTALLED_OUT,
     INSTALLED_ERR, 0, true},
    {"-V reaches the installer", {"-V", "-d", "5", "{dir}/good.pk2"},
     "Copy target file: {dir}/out/installed.txt\nexecute: touch {dir}/ranPUBTIME: 0x5F000001\n",
     INSTALLED_ERR, 0, true},
    {"identifier that is no number", {"-d", "abc", "{dir}/good.pk2"}, "{usage}",
     "Invalid identifier: abc\n", 1, false},
    {"identifier with trailing junk", {"-d", "5x", "{dir}/good.pk2"}, "{usage}",
     "Invalid identifier: 5x\n", 1, false},
    {"empty identifier", {"-d", "", "{dir}/good.pk2"}, "{usage}", "Invalid identifier: \n", 1,
     false},
    {"identifier beyond 32 bits", {"-d", "0x100000005", "{dir}/good.pk2"}, "{usage}",
     "Invalid identifier: 0x100000005\n", 1, false},
};

TEST(Pk2updateCli, Rows)
{
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        Fixture fx;
        std::vector<std::string> argv = {BuiltProgram("pk2update")};
        for (const std::string &a : row.args)
            argv.push_back(fx.Expand(a));
        RunResult r = RunProgram(argv, "", fx.dir.path);
        EXPECT_EQ(fx.Expand(row.out), r.out);
        EXPECT_EQ(fx.Expand(row.err), r.err);
        EXPECT_EQ(row.status, r.status);
        EXPECT_EQ(row.installed, FileExists(fx.target));
        EXPECT_EQ(row.installed, FileExists(fx.ran));
        EXPECT_TRUE(FileExists(fx.dir.file("good.pk2")));
    }
}

TEST(Pk2updateCli, UsageShowsTheInvocationName)
{
    ScratchDir dir;
    std::string link = dir.file("upd");
    ASSERT_EQ(0, symlink(BuiltProgram("pk2update").c_str(), link.c_str()));
    RunResult r = RunProgram({link, "-h"});
    EXPECT_EQ(Usage(link), r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(1, r.status);
}

TEST(Pk2updateCli, Md5MatchesMd5sum)
{
    ScratchDir dir;
    const struct {
        const char *name;
        size_t size;
    } files[] = {{"empty", 0},     {"a", 1},          {"block-1", 4095},
                 {"block", 4096},  {"block+1", 4097}, {"three MB", 3 * 1024 * 1024 + 17}};
    unsigned seed = 1;
    for (const auto &f : files) {
        SCOPED_TRACE(f.name);
        std::string path = dir.file(f.name);
        WriteFile(path, RandomBytes(f.size, seed++));
        RunResult r = RunProgram({BuiltProgram("pk2update"), "--md5", path});
        EXPECT_EQ(Md5sumLine(path), r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(0, r.status);
    }
    RunResult empty = RunProgram({BuiltProgram("pk2update"), "--md5", dir.file("empty")});
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e " + dir.file("empty") + "\n", empty.out);
}

TEST(Pk2updateCli, Md5ReportsAFailedWrite)
{
    ScratchDir dir;
    WriteFile(dir.file("f"), "x");
    RunResult r = RunProgram({"sh", "-c", "exec \"$0\" --md5 \"$1\" >/dev/full",
                              BuiltProgram("pk2update"), dir.file("f")});
    EXPECT_EQ("write: No space left on device\n", r.err);
    EXPECT_EQ(1, r.status);
}

TEST(Pk2updateCli, ProfileAndRemovalOptionsReachTheDriver)
{
    Fixture fx;
    std::string ini = fx.dir.file("upd.ini");
    std::string pkg = fx.dir.file("good.pk2");
    RunResult r = RunProgram({BuiltProgram("pk2update"), "-r", "-c", ini, "-d", "5", pkg});
    EXPECT_EQ(INSTALLED_OUT, r.out);
    EXPECT_EQ("Update from " + pkg + " ...\n", r.err);
    EXPECT_EQ(0, r.status);
    EXPECT_FALSE(FileExists(pkg));
    EXPECT_EQ("[updimg]\npubtime = 0x5F000001\n", ReadFile(ini));

    // The same package again is refused by the recorded publication time.
    ASSERT_TRUE(PackWriteBytes(pkg, ReadFile(fx.dir.file("bad.pk2"))));
    r = RunProgram({BuiltProgram("pk2update"), "-c", ini, "-d", "5", pkg});
    EXPECT_EQ("Update from " + pkg + " ...\nIgnore image.\n", r.err);
    EXPECT_EQ(255, r.status);
}

} // namespace
