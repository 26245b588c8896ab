// Runs the built pk2pack and pk2update on packages and compares outputs,
// statuses, installed files and the profile.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "pk2pack.h"

namespace {

RunResult Exec(const char *program, std::vector<std::string> args)
{
    args.insert(args.begin(), BuiltProgram(program));
    return RunProgram(args);
}

void ExpectRun(const RunResult &r, int status, const std::string &out, const std::string &err)
{
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
}

// One package made by pk2pack: a file, a command that sees the files before
// it but none after, a file across the 64 KiB boundaries in a new tree, an
// empty file over an old one, and a command. Runs that must touch nothing
// come first, among them a copy whose last entry was tampered with. The
// install records the publication time amid the rest of a profile; a second
// run is refused, and -r deletes the package all the same.
TEST(Pk2updateInstall, PackListVerifyRefuseInstallRecord)
{
    ScratchDir dir;
    std::string big(3 * 65536 + 8193, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>(i * 2654435761u >> 13);
    const std::string small = "first line\n", conf = dir.file("etc/app.conf"), tool = dir.file("opt/app/bin/tool"),
                      empty = dir.file("empty"), log = dir.file("log"), ini = dir.file("update.ini");
    const std::string cmd1 = "cat " + conf + " >> " + log + "; test -e " + tool + " || echo no >> " + log;
    // cmd2 also names every package its shell holds open: none may be.
    const std::string cmd2 = "test -s " + tool + " && test ! -s " + empty + " && echo ok >> " + log +
                             "; readlink /proc/$$/fd/* | grep '[.]pk2$' >> " + log;
    WriteFile(dir.file("small"), small);
    WriteFile(dir.file("big"), big);
    WriteFile(empty, "old content to be truncated");
    const std::string profile = "; camera\n[net]\nip = 1.2.3.4\r\n\n[UpdImg]\nchannel=beta\n", tail = "\n;x\n[video]\nfps=25";
    WriteFile(ini, profile + tail);
    const std::string pkg = dir.file("update.pk2"), bad = dir.file("bad.pk2");
    RunResult made = Exec("pk2pack", {"create", "-o", pkg, "-d", "0x1234", "-t", "0x5F00A1B2", "-f",
                                      dir.file("small") + ":" + conf, "-x", cmd1, "-f", dir.file("big") + ":" + tool,
                                      "-f", "/dev/null:" + empty, "-x", cmd2});
    ASSERT_EQ(made.status, 0) << made.err;
    RunResult listed = Exec("pk2pack", {"list", pkg});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out.rfind("magic    PK2\nident    0x00001234 (4660)\npubtime  0x5F00A1B2\n", 0), 0u);
    for (const std::string &text : {conf, cmd1, tool, empty, cmd2})
        EXPECT_NE(listed.out.find(" good  " + text + "\n"), std::string::npos) << text;
    std::string bytes = ReadFile(pkg);
    bytes[bytes.size() - 2] ^= 1;  // the last letter of cmd2
    WriteFile(bad, bytes);
    listed = Exec("pk2pack", {"list", bad});
    EXPECT_EQ(listed.status, 1);
    EXPECT_NE(listed.out.find(" BAD   " + cmd2.substr(0, cmd2.size() - 1)), std::string::npos) << listed.out;

    const std::string from = "Update from " + pkg + " ...\n";
    ExpectRun(Exec("pk2update", {pkg}), 0, "", "");
    ExpectRun(Exec("pk2update", {"-d", "0x1235", pkg}), 255, "", from + "Error or unmatched package file.\n\n");
    ExpectRun(Exec("pk2update", {"-d", "0", bad}), 254, "", "Update from " + bad + " ...\nverify pk2 failed.\n");
    EXPECT_FALSE(FileExists(dir.file("etc")) || FileExists(dir.file("opt")) || FileExists(log));
    EXPECT_EQ(ReadFile(empty) + ReadFile(ini), "old content to be truncated" + profile + tail);

    // A command's verbose line ends with the command's NUL, not a line end.
    mode_t mask = umask(0);  // so that the mode new directories are made with shows
    ExpectRun(Exec("pk2update", {"-V", "-c", ini, "-d", "4660", pkg}), 0,
              "Copy target file: " + conf + "\nexecute: " + cmd1 + "Copy target file: " + tool +
                  "\nCopy target file: " + empty + "\nexecute: " + cmd2 + "PUBTIME: 0x5F00A1B2\n", from);
    umask(mask);
    EXPECT_EQ(ReadFile(conf) + ReadFile(empty) + ReadFile(log), small + small + "no\nok\n");
    EXPECT_TRUE(ReadFile(tool) == big);
    EXPECT_EQ(ReadFile(ini), profile + "pubtime=0x5F00A1B2\n" + tail);
    struct stat st;
    ASSERT_EQ(stat(dir.file("opt/app").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    WriteFile(conf, "changed");
    ExpectRun(Exec("pk2update", {"-d", "0x1234", "-c", ini, "-r", pkg}), 255, "", from + "Ignore image.\n");
    EXPECT_EQ(ReadFile(conf), "changed");
    EXPECT_FALSE(FileExists(pkg));
}

// A target on a full file system breaks the installation off: the entry
// before it stays, the target keeps what fitted, nothing after it runs. The
// file system is a 64 KiB tmpfs in a private mount namespace.
TEST(Pk2updateInstall, FullMediumBreaksOff)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    ScratchDir dir;
    const std::string small = dir.file("small"), full = dir.file("full"), pkg = dir.file("p.pk2");
    ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
    // pubtime 0 would equal the record of none, and the package would be ignored.
    ASSERT_TRUE(PackWrite(pkg, {.pubtime = 1, .entries = {PackFile(small, "before\n"),
                                PackFile(full + "/big", std::string(256 * 1024, 'x')),
                                PackCmd("echo after > " + dir.file("after"))}}));
    const char script[] = "mount -t tmpfs -o size=64k none \"$1\" || exit 99; "
                          "\"$2\" -d 0 \"$3\"; st=$?; wc -c < \"$1/big\" > \"$4\"; exit $st";
    RunResult r = RunProgram({"unshare", "-m", "sh", "-c", script, "sh", full, BuiltProgram("pk2update"), pkg,
                              dir.file("kept")});
    ExpectRun(r, 255, "", "Update from " + pkg + " ...\nCan't write target file: " + full + "/big\n");
    EXPECT_EQ(ReadFile(small), "before\n");
    EXPECT_FALSE(FileExists(dir.file("after")));
    long kept = std::stol(ReadFile(dir.file("kept")));
    EXPECT_GT(kept, 0);
    EXPECT_LT(kept, 256 * 1024);
    EXPECT_FALSE(FileExists(full + "/big")) << "the tmpfs stayed private";
}

}  // namespace
