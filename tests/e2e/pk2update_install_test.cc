// Runs the built pk2update and pk2pack and compares outputs, statuses and
// files; the reader's fine points are tested in-process in updater/pk2_test.cc.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "pk2pack.h"

namespace {

std::string RandomBytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    return s;
}

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

// One package made by the pk2pack program: a file, a command that sees the
// files before it but none after, a file across the 8192 and 65536
// boundaries in a new tree, an empty file over an old one, and a command.
// Runs that must touch nothing come first, among them a copy whose last
// entry was tampered with.
TEST(Pk2updateInstall, PackListVerifyRefuseInstall)
{
    ScratchDir dir;
    const std::string small = "first line\nsecond line\n", big = RandomBytes(3 * 65536 + 8193, 7);
    const std::string conf = dir.file("etc/app.conf"), tool = dir.file("opt/app/bin/tool"),
                      empty = dir.file("empty"), log = dir.file("log");
    const std::string cmd1 = "cat " + conf + " >> " + log + "; test -e " + tool + " || echo no >> " + log;
    // cmd2 also names every package its shell holds open: none may be.
    const std::string cmd2 = "test -s " + tool + " && test ! -s " + empty + " && echo ok >> " + log +
                             "; readlink /proc/$$/fd/* | grep '[.]pk2$' >> " + log;
    WriteFile(dir.file("small"), small);
    WriteFile(dir.file("big"), big);
    WriteFile(empty, "old content to be truncated");
    const std::string pkg = dir.file("update.pk2"), bad = dir.file("bad.pk2");
    RunResult made = Exec("pk2pack", {"create", "-o", pkg, "-d", "0x1234", "-t", "0x5F00A1B2", "-n",
                                      "-f", dir.file("small") + ":" + conf, "-x", cmd1,
                                      "-f", dir.file("big") + ":" + tool, "-f", "/dev/null:" + empty,
                                      "-x", cmd2});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string head = "magic    PK2\nident    0x00001234 (4660)\npubtime  0x5F00A1B2\n"
                             "flags    0x00000001 (publication time not recorded)\n"
                             "entries  5\n#    type  length     md5   target or command\n";
    RunResult listed = Exec("pk2pack", {"list", pkg});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out.substr(0, head.size()), head);
    EXPECT_NE(listed.out.find("\nend      exact"), std::string::npos) << listed.out;
    for (const std::string &text : {conf, cmd1, tool, empty, cmd2})
        EXPECT_NE(listed.out.find(" good  " + text + "\n"), std::string::npos) << text;
    std::string bytes = ReadFile(pkg);
    bytes[bytes.size() - 2] ^= 1;  // the last letter of cmd2
    ASSERT_TRUE(PackWriteBytes(bad, bytes));
    listed = Exec("pk2pack", {"list", bad});
    EXPECT_EQ(listed.status, 1);
    EXPECT_NE(listed.out.find(" BAD   " + cmd2.substr(0, cmd2.size() - 1)), std::string::npos)
        << listed.out;

    const std::string from = "Update from " + pkg + " ...\n";
    ExpectRun(Exec("pk2update", {pkg}), 0, "", "");
    ExpectRun(Exec("pk2update", {"-d", "0x1235", pkg}), 255, "",
              from + "Error or unmatched package file.\n\n");
    // 254: identifier 0 let the package through to its verification.
    ExpectRun(Exec("pk2update", {"-d", "0", bad}), 254, "",
              "Update from " + bad + " ...\nverify pk2 failed.\n");
    EXPECT_FALSE(FileExists(dir.file("etc")) || FileExists(dir.file("opt")) || FileExists(log));
    EXPECT_EQ(ReadFile(empty), "old content to be truncated");

    // A command's verbose line ends with the command's NUL, not a line end.
    mode_t mask = umask(0);  // so that the mode new directories are made with shows
    ExpectRun(Exec("pk2update", {"-V", "-d", "0x1234", pkg}), 0,
              "Copy target file: " + conf + "\nexecute: " + cmd1 + "Copy target file: " + tool +
                  "\nCopy target file: " + empty + "\nexecute: " + cmd2 + "PUBTIME: 0x5F00A1B2\n",
              from);
    umask(mask);
    EXPECT_EQ(ReadFile(conf), small);
    EXPECT_EQ(ReadFile(tool), big);
    EXPECT_TRUE(FileExists(empty) && ReadFile(empty).empty());
    EXPECT_EQ(ReadFile(log), small + "no\nok\n");
    struct stat st;
    ASSERT_EQ(stat(dir.file("opt/app").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

// A target that takes no more data breaks the installation off: the entry
// before it stays, the target keeps what fitted, nothing after it runs.
// The full file system is a 64 KiB tmpfs in a private mount namespace.
TEST(Pk2updateInstall, WriteFailureBreaksOff)
{
    for (bool tmpfs : {false, true}) {
        SCOPED_TRACE(tmpfs ? "full tmpfs" : "/dev/full");
        if (tmpfs && geteuid() != 0)
            GTEST_SKIP() << "needs root for a private mount namespace";
        ScratchDir dir;
        const std::string small = dir.file("small"), full = dir.file("full"), pkg = dir.file("p.pk2");
        const std::string target = tmpfs ? full + "/big" : "/dev/full", big(256 * 1024, 'x');
        ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
        // pubtime 0 would equal the record of none, and the package would be ignored.
        ASSERT_TRUE(PackWrite(pkg, {.pubtime = 1,
                                    .entries = {PackFile(small, "before\n"), PackFile(target, big),
                                                PackCmd("echo after > " + dir.file("after"))}}));
        const char script[] = "mount -t tmpfs -o size=64k none \"$1\" || exit 99; "
                              "\"$2\" -d 0 \"$3\"; st=$?; wc -c < \"$1/big\" > \"$4\"; exit $st";
        RunResult r = tmpfs ? RunProgram({"unshare", "-m", "sh", "-c", script, "sh", full,
                                          BuiltProgram("pk2update"), pkg, dir.file("kept")})
                            : Exec("pk2update", {"-d", "0", pkg});
        ExpectRun(r, 255, "",
                  "Update from " + pkg + " ...\nCan't write target file: " + target + "\n");
        EXPECT_EQ(ReadFile(small), "before\n");
        EXPECT_FALSE(FileExists(dir.file("after")));
        if (tmpfs) {
            long kept = std::stol(ReadFile(dir.file("kept")));
            EXPECT_GT(kept, 0);
            EXPECT_LT(kept, static_cast<long>(big.size()));
            EXPECT_FALSE(FileExists(target)) << "the tmpfs stayed private";
        }
    }
}

// pk2pack create refuses what the device could not take and leaves no
// package behind; an OUT that was there before and can't be opened stays.
TEST(Pk2packProgram, CreateRefuses)
{
    // args follow "create -o OUT"; planted: OUT is a socket, which no one can open.
    const struct { std::vector<std::string> args; int status; const char *err_start; bool planted = false; } cases[] = {
        {{"-d", "1", "-f", "/:/x"}, 1, "pk2pack: cannot read /: "},
        {{"-d", "1", "-f", "/dev/null:/" + std::string(255, 't')}, 1, "pk2pack: target longer than 255 "},
        {{"-d", "1", "-x", std::string(8192, 'c')}, 1, "pk2pack: command longer than 8191 "},
        {{"-d", "1", "-f", "/dev/null"}, 2, "pk2pack: -f wants SRC:TARGET"},
        {{"-d", "0x100000000"}, 2, "pk2pack: -d wants a number"},
        {{"-d", "1", "-t", "-18446744073709551615"}, 2, "pk2pack: -t wants a number"},  // strtoull: 1
        {{"-x", "true"}, 2, "pk2pack: create needs -o OUT and -d IDENT"},
        {{"-d", "1"}, 1, "pk2pack: cannot write ", true},
    };
    ScratchDir dir;
    const std::string out = dir.file("out.pk2");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err_start);
        std::vector<std::string> args = {"create", "-o", out};
        args.insert(args.end(), c.args.begin(), c.args.end());
        int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{AF_UNIX, {}};
        out.copy(a.sun_path, sizeof a.sun_path - 1);
        ASSERT_TRUE(!c.planted || bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
        RunResult r = Exec("pk2pack", args);
        close(sock);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.rfind(c.err_start, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(unlink(out.c_str()) == 0, c.planted);
    }
}

// pk2pack list judges packages with code of its own; it must refuse exactly
// what the device's reader refuses, or a package would be shipped that the
// camera rejects. Each row spoils a package of a 9000-byte FILE and a CMD,
// then keeps its first bytes (0: all).
TEST(Pk2packProgram, ListAgreesWithTheReader)
{
    using Spoil = void (*)(PackDesc &);
    Spoil none = [](auto &) {};
    const struct { const char *name; Spoil spoil; size_t keep; bool sound; } cases[] = {
        {"entry count below entries", [](auto &s) { s.entry_count = 1; }, 0, false},
        {"entry count above entries", [](auto &s) { s.entry_count = 3; }, 0, false},
        {"lengths disagree", [](auto &s) { s.entries[0].data_length = 1; }, 0, false},
        {"name without NUL", [](auto &s) { s.entries[0].name = "/tmp/x"; }, 0, false},
        {"empty target path", [](auto &s) { s.entries[0] = PackFile("", "d"); }, 0, false},
        {"name of 257 bytes", [](auto &s) { s.entries[0] = PackFile(std::string(256, 'n'), "d"); }, 0, false},
        {"name of 256 bytes", [](auto &s) { s.entries[0] = PackFile(std::string(255, 'n'), "d"); }, 0, true},
        {"command of 8193 bytes", [](auto &s) { s.entries[1] = PackCmd(std::string(8192, ':')); }, 0, false},
        {"command of 8192 bytes", [](auto &s) { s.entries[1] = PackCmd(std::string(8191, ':')); }, 0, true},
        {"command of no bytes", [](auto &s) { s.entries[1] = PackRaw(std::string("CMD\0", 4), ""); }, 0, false},
        {"other type, wrong digest", [](auto &s) { s.entries[1] = PackRaw("XYZ", "a"), s.entries[1].md5 = PackDigest{}; }, 0, true},
        {"other type cut short", [](auto &s) { s.entries[1] = PackRaw("XYZ", "a"), s.entries[1].length = 2; }, 0, false},
        {"wrong magic", [](auto &s) { s.magic = "PK3"; }, 0, false},
        {"header of 27 bytes", none, 27, false},
    };
    ScratchDir dir;
    const std::string pkg = dir.file("p.pk2");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PackDesc desc;
        desc.entries = {PackFile(dir.file("f"), RandomBytes(9000, 5)), PackCmd("true")};
        c.spoil(desc);
        ASSERT_TRUE(PackWriteBytes(pkg, PackBuild(desc).substr(0, c.keep ? c.keep : std::string::npos)));
        RunResult listed = Exec("pk2pack", {"list", pkg}), verified = Exec("pk2update", {pkg});
        EXPECT_EQ(listed.status, c.sound ? 0 : 1) << listed.out;
        EXPECT_EQ(verified.status == 0, c.sound) << verified.err;
    }
}

}  // namespace
