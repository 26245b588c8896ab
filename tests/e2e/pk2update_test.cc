// Runs the built pk2update (and pk2pack, to make and list packages) and
// compares standard output, standard error, exit status and the files made.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "pk2pack.h"

namespace {

std::string Usage(const std::string &p)
{
    return "Usage:\n" + p + " -h|-?\n" + p
        + " -d ident [-c inifile] [-r] [-b] [-V] [-m mount_dir] [[-i image_path_in_partition] | "
          "pk2_file_path]\n"
        + p
        + " --md5 file\n\t-d\tidentier the image should match\n\t-c\tinifile to save pubtime of "
          "image\n"
          "\t-b\treboot after process updating.\n\t-r\tremove pk2 file after process updating.\n"
          "\t-m\tdirectory to mount partition, default '/tmp/mnt'\n"
          "\t-i\tIMAGE_PATH in the partition. default \"/ipcam\"\n\t-V\tverbose\n"
          "\tpk2_file_path\tpath to pk2 file. if omitted, update from \"IMAGE_PATH\" of "
          "partition\n";
}

// Each row runs pk2update through a link named upd in a scratch directory
// holding "0" (empty), "4097" (bytes) and a package of identifier 5 (a file
// and a command, both landing in the directory), sound (good.pk2) and with
// a wrong digest (bad.pk2). In the texts {d} is the directory, {u} the
// usage text and {md5:NAME} md5sum's line of NAME with one space.
// installed: the file written and the command run.
const char GOOD[] = "{d}/good.pk2", BAD[] = "{d}/bad.pk2", EMPTY[] = "{d}/0", U[] = "{u}";
const char UNMATCHED[] = "Update from {d}/good.pk2 ...\nError or unmatched package file.\n\n";
const struct {
    std::vector<std::string> args;
    const char *out, *err;
    int status;
    bool installed;
} kRows[] = {
    {{}, U, "", 1, false},
    {{"-b?"}, U, "", 1, false},
    {{"-x", "a?b", "-y", "--md5", EMPTY}, U, "Unrecognized option: -x\n", 1, false},
    {{"-h", "-d"}, U, "", 1, false},
    {{"-x", "--md5", "-", EMPTY}, "{md5:0}", "Unrecognized option: -x\nUnrecognized option: -\n", 0,
        false},
    {{"--md5", EMPTY, "-d"}, U, "", 1, false},
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
    {{"-d", "-4294967291", GOOD}, "PUBTIME: 0x5F000001\n", "Update from {d}/good.pk2 ...\n", 0,
        true},
    {{GOOD, "-d", "0x5"}, "PUBTIME: 0x5F000001\n", "Update from {d}/good.pk2 ...\n", 0, true},
    {{"-d", "abc", GOOD}, U, "Invalid identifier: abc\n", 1, false},
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
    PackDesc desc{.ident = 5,
        .pubtime = 0x5F000001,
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
        EXPECT_EQ(
            row.installed, unlink(target.c_str()) == 0 | unlink(dir.file("ran").c_str()) == 0);
    }
    RunResult full = RunProgram({"sh", "-c", "exec \"$0\" --md5 /dev/null >/dev/full", upd});
    EXPECT_EQ("write: No space left on device\n", full.err);
    EXPECT_EQ(1, full.status);
}

RunResult Exec(const char *program, std::vector<std::string> args)
{
    args.insert(args.begin(), BuiltProgram(program));
    return RunProgram(args);
}

std::string Text(const RunResult &r)
{
    return std::to_string(r.status) + "|" + r.out + "|" + r.err;
}

// A package made by pk2pack: a file, a command that sees the files before it
// but none after (and names every package its shell holds open: none may
// be), a file in a new tree, an empty file over an old one, and a command.
// Runs that must touch nothing come first, among them a copy whose last entry
// was tampered with. The install records the publication time amid the rest
// of a profile; a second run is refused, and -r deletes the package anyway.
TEST(Pk2updateInstall, PackVerifyRefuseInstallRecord)
{
    ScratchDir dir;
    const std::string conf = dir.file("etc/app.conf"), tool = dir.file("opt/app/bin/tool"),
                      empty = dir.file("empty"), log = dir.file("log"),
                      ini = dir.file("update.ini"), pkg = dir.file("update.pk2"),
                      bad = dir.file("bad.pk2"), from = "Update from " + pkg + " ...\n";
    const std::string cmd1
        = "cat " + conf + " >> " + log + "; test -e " + tool + " || echo no >> " + log;
    const std::string cmd2 = "test -s " + tool + " && test ! -s " + empty + " && echo ok >> " + log
        + "; readlink /proc/$$/fd/* | grep '[.]pk2$' >> " + log;
    const std::string profile = "; camera\n[net]\nip = 1.2.3.4\r\n\n[UpdImg]\nchannel=beta\n",
                      tail = "\n;x\n[v]\nfps=25";
    WriteFile(dir.file("small"), "first line\n");
    WriteFile(empty, "old content");
    WriteFile(ini, profile + tail);
    ASSERT_EQ(Text(Exec("pk2pack",
                  {"create", "-o", pkg, "-d", "0x1234", "-t", "0x5F00A1B2", "-f",
                      dir.file("small") + ":" + conf, "-x", cmd1, "-f",
                      dir.file("small") + ":" + tool, "-f", "/dev/null:" + empty, "-x", cmd2})),
        "0|" + pkg + ": ident 0x1234, pubtime 0x5F00A1B2, flags 0x0, 5 entries\n|");
    std::string bytes = ReadFile(pkg);
    bytes[bytes.size() - 2] ^= 1;  // the last letter of cmd2
    WriteFile(bad, bytes);
    EXPECT_EQ(Exec("pk2pack", {"list", bad}).status, 1);
    EXPECT_EQ(Text(Exec("pk2update", {pkg})), "0||");
    EXPECT_EQ(Text(Exec("pk2update", {"-d", "0x1235", pkg})),
        "255||" + from + "Error or unmatched package file.\n\n");
    EXPECT_EQ(Text(Exec("pk2update", {"-d", "0", bad})),
        "254||Update from " + bad + " ...\nverify pk2 failed.\n");
    EXPECT_FALSE(FileExists(dir.file("etc")) || FileExists(dir.file("opt")) || FileExists(log));
    EXPECT_EQ(ReadFile(empty) + ReadFile(ini), "old content" + profile + tail);
    // A command's verbose line ends with the command's NUL, not a line end.
    mode_t mask = umask(0);  // so that the mode new directories are made with shows
    EXPECT_EQ(Text(Exec("pk2update", {"-V", "-c", ini, "-d", "4660", pkg})),
        "0|Copy target file: " + conf + "\nexecute: " + cmd1 + "Copy target file: " + tool
            + "\nCopy target file: " + empty + "\nexecute: " + cmd2 + "PUBTIME: 0x5F00A1B2\n|"
            + from);
    umask(mask);
    EXPECT_EQ(ReadFile(conf) + ReadFile(tool) + ReadFile(empty) + ReadFile(log),
        "first line\nfirst line\nfirst line\nno\nok\n");
    EXPECT_EQ(ReadFile(ini), profile + "pubtime=0x5F00A1B2\n" + tail);
    struct stat st;
    EXPECT_TRUE(stat(dir.file("opt/app").c_str(), &st) == 0 && (st.st_mode & 0777) == 0755);
    WriteFile(conf, "changed");
    EXPECT_EQ(Text(Exec("pk2update", {"-d", "0x1234", "-c", ini, "-r", pkg})),
        "255||" + from + "Ignore image.\n");
    EXPECT_EQ(ReadFile(conf), "changed");
    EXPECT_FALSE(FileExists(pkg));
}

// The partition scan in a private mount namespace whose /dev is a tmpfs
// holding block-device nodes at the scan's paths. They name an unattached
// loop device, so every mount fails: the "mount" lines and the exit status
// show what was handled.
TEST(Pk2updatePartitions, ScanCountsWhatItHandles)
{
    int minor = 0;
    while (minor < 8 && ReadFile("/sys/block/loop" + std::to_string(minor) + "/size") != "0\n")
        minor++;
    if (minor == 8)
        GTEST_SKIP() << "no unattached loop device to name";
    // Handled: the bare mmcblk0 (its p1 is no block device, p6 is never
    // tried), sda1, disc0's part1 and part12, not the hidden disc's.
    // Descriptor 3 keeps the program reachable once /tmp is covered, and a
    // clone under /tmp is bound back at its own path for what the program
    // reaches by name (an emulator's start script does). The second run
    // mounts on a missing directory named with -m.
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
    // On /tmp/mnt every mount fails alike (no vfat in the kernel, or an empty
    // device); on the missing directory none finds its target.
    const std::string first = r.err.substr(0, r.err.find('\n') + 1),
                      missing = "mount: No such file or directory\n";
    EXPECT_EQ(first.rfind("mount: ", 0), 0u);
    EXPECT_NE(first, missing);
    EXPECT_EQ(r.err,
        first + first + first + first + "status 4\n" + missing + missing + missing + missing
            + "status 4\n");
}

}  // namespace
