// Runs the built pk2update with command lines of every shape and compares
// standard output, standard error, exit status and what was installed.
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "pk2pack.h"

namespace {

std::string Usage(const std::string &p)
{
    return "Usage:\n" + p + " -h|-?\n" + p +
           " -d ident [-c inifile] [-r] [-b] [-V] [-m mount_dir] [[-i image_path_in_partition] | pk2_file_path]\n" +
           p + " --md5 file\n\t-d\tidentier the image should match\n\t-c\tinifile to save pubtime of image\n"
           "\t-b\treboot after process updating.\n\t-r\tremove pk2 file after process updating.\n"
           "\t-m\tdirectory to mount partition, default '/tmp/mnt'\n"
           "\t-i\tIMAGE_PATH in the partition. default \"/ipcam\"\n\t-V\tverbose\n"
           "\tpk2_file_path\tpath to pk2 file. if omitted, update from \"IMAGE_PATH\" of partition\n";
}

// Each row runs pk2update through a link named upd in a scratch directory
// holding "0" (empty), "4097" (bytes) and a package of identifier 5 (a file
// and a command, both landing in the directory), sound (good.pk2) and with
// a wrong digest (bad.pk2). In the texts {d} is the directory, {u} the
// usage text and {md5:NAME} md5sum's line of NAME with one space.
// installed: the file written and the command run.
const char GOOD[] = "{d}/good.pk2", BAD[] = "{d}/bad.pk2", EMPTY[] = "{d}/0", U[] = "{u}";
const char UNMATCHED[] = "Update from {d}/good.pk2 ...\nError or unmatched package file.\n\n";
const struct { std::vector<std::string> args; const char *out, *err; int status; bool installed; } kRows[] = {
    {{}, U, "", 1, false},
    {{"-b?"}, U, "", 1, false},
    {{"-x", "a?b", "-y", "--md5", EMPTY}, U, "Unrecognized option: -x\n", 1, false},
    {{"-h", "-d"}, U, "", 1, false},
    {{"-x", "--md5", "-", EMPTY}, "{md5:0}", "Unrecognized option: -x\nUnrecognized option: -\n", 0, false},
    {{"--md5", EMPTY, "-d"}, U, "", 1, false},
    {{"--md5", EMPTY, "-i"}, U, "", 1, false},
    {{"-c", "a?b", "-i", "-h", "-m", "--md5", "--md5", EMPTY}, "{md5:0}", "", 0, false},
    {{"--md5"}, U, "", 1, false},
    {{"--md5", "{d}/no"}, "", "Can not open {d}/no\n", 3, false},
    {{"--md5", "{d}"}, "", "Can not open {d}\n", 3, false},
    {{"-d", "5", GOOD, "--md5"}, "{md5:good.pk2}", "", 0, false},
    {{"--md5", GOOD, "{d}/4097"}, "{md5:4097}", "", 0, false},
    {{"-d", "0xFFFFFFFF", BAD, GOOD}, "", "", 0, false},
    {{"-d", "-1", GOOD, BAD}, "", "verify pk2 failed.\n", 254, false},
    {{"{d}/no"}, "", "Can't open file: {d}/no\n", 255, false},
    {{"-d", "010", GOOD}, "", UNMATCHED, 255, false},
    {{"-d", "-4294967291", GOOD}, "PUBTIME: 0x5F000001\n", "Update from {d}/good.pk2 ...\n", 0, true},
    {{GOOD, "-d", "0x5"}, "PUBTIME: 0x5F000001\n", "Update from {d}/good.pk2 ...\n", 0, true},
    {{"-d", "abc", GOOD}, U, "Invalid identifier: abc\n", 1, false},
    {{"-d", "5x", GOOD}, U, "Invalid identifier: 5x\n", 1, false},
    {{"-d", "", GOOD}, U, "Invalid identifier: \n", 1, false},
    {{"-d", "0x100000005", GOOD}, U, "Invalid identifier: 0x100000005\n", 1, false},
};

TEST(Pk2updateCli, Rows)
{
    ScratchDir dir;
    const std::string upd = dir.file("upd"), target = dir.file("out/installed.txt");
    ASSERT_EQ(0, symlink(BuiltProgram("pk2update").c_str(), upd.c_str()));
    WriteFile(dir.file("0"), "");
    WriteFile(dir.file("4097"), std::string(4000, 'a') + std::string(97, '\xff'));
    PackDesc desc{.ident = 5, .pubtime = 0x5F000001,
                  .entries = {PackFile(target, "installed\n"), PackCmd("touch " + dir.file("ran"))}};
    ASSERT_TRUE(PackWrite(dir.file("good.pk2"), desc));
    desc.entries[0].md5 = PackDigest{};
    ASSERT_TRUE(PackWrite(dir.file("bad.pk2"), desc));
    auto expand = [&](std::string s) {
        for (size_t at; (at = s.find('{')) != std::string::npos;) {
            size_t end = s.find('}', at);
            std::string key = s.substr(at + 1, end - at - 1), md5;
            if (key.starts_with("md5:")) {
                md5 = RunProgram({"md5sum", dir.file(key.substr(4))}).out;
                md5 = md5.substr(0, 32) + " " + dir.file(key.substr(4)) + "\n";
            }
            s.replace(at, end + 1 - at, key == "d" ? dir.path : key == "u" ? Usage(upd) : md5);
        }
        return s;
    };
    for (const auto &row : kRows) {
        SCOPED_TRACE(&row - kRows);
        std::vector<std::string> argv = {upd};
        for (const std::string &a : row.args)
            argv.push_back(expand(a));
        RunResult r = RunProgram(argv, "", dir.path);
        EXPECT_EQ(expand(row.out), r.out);
        EXPECT_EQ(expand(row.err), r.err);
        EXPECT_EQ(row.status, r.status);
        EXPECT_EQ(row.installed, FileExists(target) && FileExists(dir.file("ran")));
        EXPECT_EQ(row.installed, unlink(target.c_str()) == 0 | unlink(dir.file("ran").c_str()) == 0);
    }
    RunResult full = RunProgram({"sh", "-c", "exec \"$0\" --md5 /dev/null >/dev/full", upd});
    EXPECT_EQ("write: No space left on device\n", full.err);
    EXPECT_EQ(1, full.status);
}

}  // namespace
