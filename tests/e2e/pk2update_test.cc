// The built pk2update (pk2pack makes its packages): output, status and the files made.
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_util.h"

namespace {

// pk2update as {d}/upd; {d} holds "0" (empty), "4097", good.pk2 (ident 5) and bad.pk2 (its
// command spoilt). {u}: the usage; {mNAME}: md5sum's line of NAME; installed: file and command.
const char GOOD[] = "{d}/good.pk2", BAD[] = "{d}/bad.pk2", EMPTY[] = "{d}/0", U[] = "{u}";
const char INSTALLED[] = "Update from {d}/good.pk2 ...\n";
struct Row { std::vector<std::string> args; const char *out, *err; int status; bool installed; };
const Row kRows[] = {
    {{}, U, "", 1, false}, {{"-h", "-d"}, U, "", 1, false}, {{"--md5"}, U, "", 1, false},
    {{"--md5", EMPTY, "-d"}, U, "", 1, false},
    {{"--md5", "{d}"}, "", "Can not open {d}\n", 3, false},
    {{"-x", "--md5", "-", EMPTY}, "{m0}", "Unrecognized option: -x\nUnrecognized option: -\n",
        0, false},
    {{"-d", "5", GOOD, "{d}/4097", "--md5"}, "{m4097}", "", 0, false},
    {{"-d", "-1", BAD, GOOD}, "", "", 0, false},
    {{"{d}/no"}, "", "Can't open file: {d}/no\n", 255, false},
    {{"-d", "010", GOOD}, "", "Update from {d}/good.pk2 ...\nError or unmatched package file.\n\n",
        255, false},
    {{"-V", "-d", "-4294967291", GOOD},
        "Copy target file: {d}/out/installed.txt\nexecute: touch {d}/ranPUBTIME: 0x5F000001\n",
        INSTALLED, 0, true},
    {{"-c", "{d}/ini", GOOD, "-d", "0x5"}, "PUBTIME: 0x5F000001\n", INSTALLED, 0, true},
    {{"-d", "5", "-c", "{d}", "-r", GOOD}, "PUBTIME: 0x5F000001\n",
        "Update from {d}/good.pk2 ...\nCan't save pubtime to {d}\n", 255, true},
    {{"-d", "5x", GOOD}, U, "Invalid identifier: 5x\n", 1, false},
    {{"-d", "0x100000005", GOOD}, U, "Invalid identifier: 0x100000005\n", 1, false},
};

TEST(Pk2updateCli, Rows)
{
    ScratchDir dir;
    const std::string upd = dir.file("upd"), target = dir.file("out/installed.txt");
    ASSERT_EQ(0, symlink(BuiltProgram("pk2update").c_str(), upd.c_str()));
    WriteFile(dir.file("0"), "");
    WriteFile(dir.file("4097"), std::string(4000, 'a') + std::string(97, '\xff'));
    WriteFile(dir.file("src"), "installed\n");
    ASSERT_EQ(0, RunProgram({BuiltProgram("pk2pack"), "create", "-o", dir.file("good.pk2"), "-d",
        "5", "-t", "0x5F000001", "-f", dir.file("src") + ":" + target, "-x",
        "touch " + dir.file("ran")}).status);
    const std::string usage = "Usage:\n" + upd + " -h|-?\n" + upd
        + " -d ident [-c inifile] [-r] [-b] [-V] [-m mount_dir] "
          "[[-i image_path_in_partition] | pk2_file_path]\n" + upd + " --md5 file\n"
        "\t-d\tidentier the image should match\n\t-c\tinifile to save pubtime of image\n"
        "\t-b\treboot after process updating.\n\t-r\tremove pk2 file after process updating.\n"
        "\t-m\tdirectory to mount partition, default '/tmp/mnt'\n"
        "\t-i\tIMAGE_PATH in the partition. default \"/ipcam\"\n\t-V\tverbose\n"
        "\tpk2_file_path\tpath to pk2 file. if omitted, update from \"IMAGE_PATH\" of partition\n";
    std::string bad = ReadFile(dir.file("good.pk2"));
    bad[bad.size() - 2] ^= 1;  // the command's last letter
    WriteFile(dir.file("bad.pk2"), bad);
    auto expand = [&](std::string s) {
        for (size_t at; (at = s.find('{')) != std::string::npos;) {
            size_t end = s.find('}', at);
            std::string key = s.substr(at + 1, end - at - 1), file = dir.file(key.substr(1));
            std::string value = key == "d" ? dir.path : key == "u" ? usage : "";
            if (key[0] == 'm')
                value = RunProgram({"md5sum", file}).out.substr(0, 32) + " " + file + "\n";
            s.replace(at, end + 1 - at, value);
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
        EXPECT_EQ(row.installed, unlink(target.c_str()) == 0);
        EXPECT_EQ(row.installed, unlink(dir.file("ran").c_str()) == 0);
    }
    EXPECT_EQ(ReadFile(dir.file("ini")), "[updimg]\npubtime = 0x5F000001\n");
    EXPECT_FALSE(FileExists(dir.file("good.pk2")));
    RunResult full = RunProgram({"sh", "-c", "exec \"$0\" --md5 /dev/null >/dev/full", upd});
    EXPECT_EQ("write: No space left on device\n", full.err);
    EXPECT_EQ(1, full.status);
}

// The scan in a private mount namespace; /dev's nodes name an unattached loop device.
TEST(Pk2updatePartitions, ScanCountsWhatItHandles)
{
    int minor = 0;
    while (minor < 8 && ReadFile("/sys/block/loop" + std::to_string(minor) + "/size") != "0\n")
        minor++;
    if (minor == 8)
        GTEST_SKIP() << "no unattached loop device to name";
    // Handled: mmcblk0 (p1 no block device, p6 not tried), sda1, disc0's part1 and part12.
    const char script[] =
        "exec 3<\"$0\" && mount -t tmpfs none /dev && cd /dev && mkdir -p discs/disc0 discs/.hidden"
        " && for n in mmcblk0 mmcblk0p6 sda1 sda discs/disc0/part1 discs/disc0/part12"
        " discs/disc0/partx discs/.hidden/part1; do mknod $n b 7 $1 || exit; done"
        " && mknod mmcblk0p1 c 1 3 && mkdir .clone && mount --bind \"$2\" .clone"
        " && mount -t tmpfs none /tmp && case \"$2\" in /tmp/*) mkdir -p \"/tmp${2#/tmp}\""
        " && mount --bind .clone \"/tmp${2#/tmp}\";; esac && mkdir /tmp/mnt && echo ready"
        " || exit 99; cd /; /proc/self/fd/3 -d 0 -V; echo \"status $?\" >&2;"
        " /proc/self/fd/3 -m /nowhere -d 0; echo \"status $?\" >&2";
    RunResult r = RunProgram({"unshare", "-m", "sh", "-c", script, BuiltProgram("pk2update"),
                              std::to_string(minor), SOURCE_DIR});
    if (r.out != "ready\n")
        GTEST_SKIP() << "no private mount namespace with device nodes here: " << r.err;
    const std::string first = r.err.substr(0, r.err.find('\n') + 1);
    const std::string missing = "mount: No such file or directory\n";
    EXPECT_NE(first, missing);
    EXPECT_EQ(r.err, first + first + first + first + "status 4\n" + missing + missing + missing
            + missing + "status 4\n");
}

}  // namespace
