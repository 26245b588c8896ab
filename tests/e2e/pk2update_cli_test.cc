// Runs the built pk2update with command lines of every shape and compares
// standard output, standard error, exit status and what was installed.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "pk2pack.h"

namespace {

std::string Usage(const std::string &p)
{
    return "Usage:\n" + p + " -h|-?\n" + p +
           " -d ident [-c inifile] [-r] [-b] [-V] [-m mount_dir] "
           "[[-i image_path_in_partition] | pk2_file_path]\n" + p + " --md5 file\n"
           "\t-d\tidentier the image should match\n\t-c\tinifile to save pubtime of image\n"
           "\t-b\treboot after process updating.\n\t-r\tremove pk2 file after process updating.\n"
           "\t-m\tdirectory to mount partition, default '/tmp/mnt'\n"
           "\t-i\tIMAGE_PATH in the partition. default \"/ipcam\"\n\t-V\tverbose\n"
           "\tpk2_file_path\tpath to pk2 file. if omitted, update from \"IMAGE_PATH\" "
           "of partition\n";
}

// The digest line md5sum gives, in our form: one space instead of two.
std::string Md5sumLine(const std::string &path)
{
    RunResult r = RunProgram({"md5sum", path});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(32u, r.out.find("  "));
    return r.out.substr(0, 32) + " " + path + "\n";
}

// Each row runs pk2update through a link named upd in a scratch directory
// holding files of the sizes below (named by size, "0" empty) and a package
// of identifier 5 (one file, one command, both landing in the directory),
// sound (good.pk2) and with a wrong digest (bad.pk2). In the texts, {dir}
// is the directory, {usage} the usage text for the link and {md5:NAME}
// md5sum's digest line of NAME. installed: the package's file written and
// its command run.
const size_t SIZES[] = {0, 4095, 4096, 4097, 3 * 1024 * 1024 + 17};
struct Row {
    const char *name;
    std::vector<std::string> args;
    const char *out, *err;
    int status;
    bool installed;
};

const char GOOD[] = "{dir}/good.pk2", BAD[] = "{dir}/bad.pk2", EMPTY[] = "{dir}/0", U[] = "{usage}";

const Row kRows[] = {
    {"no arguments", {}, U, "", 1, false},
    {"-h", {"-h"}, U, "", 1, false},
    {"question mark in an option", {"-b?"}, U, "", 1, false},
    {"question mark in a package path", {"-d", "5", "{dir}/good?.pk2"}, U, "", 1, false},
    {"question mark ends the scan", {"-x", "a?b", "-y", "--md5", EMPTY}, U,
     "Unrecognized option: -x\n", 1, false},
    {"-h before an option without value", {"-h", "-d"}, U, "", 1, false},
    {"unknown option, scan goes on", {"-x", "--md5", "-", EMPTY}, "{md5:0}",
     "Unrecognized option: -x\nUnrecognized option: -\n", 0, false},
    {"-d standing last", {"--md5", EMPTY, "-d"}, U, "", 1, false},
    {"-m standing last", {"--md5", EMPTY, "-m"}, U, "", 1, false},
    {"-c standing last", {"--md5", EMPTY, "-c"}, U, "", 1, false},
    {"-i standing last", {"--md5", EMPTY, "-i"}, U, "", 1, false},
    {"a value is taken whatever it looks like",
     {"-c", "a?b", "-i", "-h", "-m", "--md5", "--md5", EMPTY}, "{md5:0}", "", 0, false},
    {"--md5 without a path", {"--md5"}, U, "", 1, false},
    {"--md5 of a missing file", {"--md5", "{dir}/no"}, "", "Can not open {dir}/no\n", 3, false},
    {"--md5 of a directory", {"--md5", "{dir}"}, "", "Can not open {dir}\n", 3, false},
    {"--md5 wins over -d and a package", {"-d", "5", GOOD, "--md5"}, "{md5:good.pk2}", "", 0,
     false},
    {"--md5 of the second path", {"--md5", GOOD, EMPTY}, "{md5:0}", "", 0, false},
    {"--md5 of 4095 bytes", {"--md5", "{dir}/4095"}, "{md5:4095}", "", 0, false},
    {"--md5 of 4096 bytes", {"--md5", "{dir}/4096"}, "{md5:4096}", "", 0, false},
    {"--md5 of 4097 bytes", {"--md5", "{dir}/4097"}, "{md5:4097}", "", 0, false},
    {"--md5 of 3 MiB and 17 bytes", {"--md5", "{dir}/3145745"}, "{md5:3145745}", "", 0, false},
    {"-d 0xFFFFFFFF verifies", {"-d", "0xFFFFFFFF", GOOD}, "", "", 0, false},
    {"-d -1 verifies", {"-d", "-1", GOOD}, "", "", 0, false},
    {"verify failure is 254", {BAD}, "", "verify pk2 failed.\n", 254, false},
    {"unopenable package is 255", {"{dir}/no"}, "", "Can't open file: {dir}/no\n", 255, false},
    {"second package verified", {BAD, GOOD}, "", "", 0, false},
    {"second package refused", {GOOD, BAD}, "", "verify pk2 failed.\n", 254, false},
    {"-d 010 is octal 8", {"-d", "010", GOOD}, "",
     "Update from {dir}/good.pk2 ...\nError or unmatched package file.\n\n", 255, false},
    {"-d -4294967291 wraps to 5", {"-d", "-4294967291", GOOD}, "PUBTIME: 0x5F000001\n",
     "Update from {dir}/good.pk2 ...\n", 0, true},
    {"identifier that is no number", {"-d", "abc", GOOD}, U, "Invalid identifier: abc\n", 1, false},
    {"identifier with trailing junk", {"-d", "5x", GOOD}, U, "Invalid identifier: 5x\n", 1, false},
    {"empty identifier", {"-d", "", GOOD}, U, "Invalid identifier: \n", 1, false},
    {"identifier beyond 32 bits", {"-d", "0x100000005", GOOD}, U,
     "Invalid identifier: 0x100000005\n", 1, false},
};

TEST(Pk2updateCli, Rows)
{
    ScratchDir dir;
    const std::string upd = dir.file("upd"), target = dir.file("out/installed.txt");
    ASSERT_EQ(0, symlink(BuiltProgram("pk2update").c_str(), upd.c_str()));
    for (size_t size : SIZES) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; i++)
            data[i] = static_cast<char>(i * 2654435761u >> 13);
        WriteFile(dir.file(std::to_string(size)), data);
    }
    PackDesc desc;
    desc.ident = 5;
    desc.pubtime = 0x5F000001;
    desc.entries = {PackFile(target, "installed\n"), PackCmd("touch " + dir.file("ran"))};
    ASSERT_TRUE(PackWrite(dir.file("good.pk2"), desc));
    desc.entries[0].md5 = PackDigest{};
    ASSERT_TRUE(PackWrite(dir.file("bad.pk2"), desc));
    auto expand = [&](std::string s) {
        for (size_t at; (at = s.find('{')) != std::string::npos;) {
            size_t end = s.find('}', at);
            std::string key = s.substr(at + 1, end - at - 1);
            s.replace(at, end + 1 - at, key == "dir"     ? dir.path
                                        : key == "usage" ? Usage(upd)
                                                         : Md5sumLine(dir.file(key.substr(4))));
        }
        return s;
    };
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> argv = {upd};
        for (const std::string &a : row.args)
            argv.push_back(expand(a));
        RunResult r = RunProgram(argv, "", dir.path);
        EXPECT_EQ(expand(row.out), r.out);
        EXPECT_EQ(expand(row.err), r.err);
        EXPECT_EQ(row.status, r.status);
        EXPECT_EQ(row.installed, FileExists(target));
        EXPECT_EQ(row.installed, FileExists(dir.file("ran")));
        EXPECT_TRUE(FileExists(dir.file("good.pk2")));
        unlink(target.c_str());
        unlink(dir.file("ran").c_str());
    }
}

TEST(Pk2updateCli, Md5ReportsAFailedWrite)
{
    RunResult r = RunProgram({"sh", "-c", "exec \"$0\" --md5 /dev/null >/dev/full",
                              BuiltProgram("pk2update")});
    EXPECT_EQ("write: No space left on device\n", r.err);
    EXPECT_EQ(1, r.status);
}

}  // namespace
