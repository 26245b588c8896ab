// Runs the built pk2update on packages made by pk2pack's library and by the
// pk2pack program, and compares outputs, statuses and installed files.
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "pk2pack.h"

namespace {

const uint32_t IDENT = 0x1234;
const uint32_t PUBTIME = 0x5F00A1B2;
const char PUBTIME_LINE[] = "PUBTIME: 0x5F00A1B2\n";

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(gen());
    return s;
}

PackSpec Package(std::vector<PackEntry> entries)
{
    PackSpec desc;
    desc.ident = IDENT;
    desc.pubtime = PUBTIME;
    desc.entries = std::move(entries);
    return desc;
}

std::string Write(const ScratchDir &dir, const PackSpec &desc)
{
    std::string pkg = dir.file("update.pk2");
    EXPECT_TRUE(PackWrite(pkg, desc));
    return pkg;
}

RunResult Pk2update(std::vector<std::string> args)
{
    args.insert(args.begin(), BuiltProgram("pk2update"));
    return RunProgram(args);
}

std::string UpdateFrom(const std::string &pkg)
{
    return "Update from " + pkg + " ...\n";
}

mode_t Umask()
{
    mode_t old = umask(022);
    umask(old);
    return old;
}

// Files across the reader's piece and sync boundaries, one in a tree of
// directories that do not exist yet, and an empty one.
struct Payload {
    std::string small = "first line\nsecond line\n";
    std::string big = RandomBytes(3 * 65536 + 8193, 7);
    std::string empty;
};

std::vector<PackEntry> PayloadEntries(const ScratchDir &dir, const Payload &p)
{
    return {PackFile(dir.file("etc/app.conf"), p.small),
            PackCmd("echo ran >> " + dir.file("log")),
            PackFile(dir.file("opt/app/bin/tool"), p.big),
            PackFile(dir.file("empty"), p.empty)};
}

TEST(Pk2updateInstall, VerifyOnlyTouchesNothing)
{
    ScratchDir dir;
    Payload p;
    std::string pkg = Write(dir, Package(PayloadEntries(dir, p)));
    RunResult r = Pk2update({pkg});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(FileExists(dir.file("etc")));
    EXPECT_FALSE(FileExists(dir.file("log")));
    EXPECT_FALSE(FileExists(dir.file("empty")));
}

TEST(Pk2updateInstall, InstallWritesFilesByteForByteAndRunsCommands)
{
    ScratchDir dir;
    Payload p;
    WriteFile(dir.file("empty"), "old content to be truncated");
    std::string pkg = Write(dir, Package(PayloadEntries(dir, p)));
    RunResult r = Pk2update({"-d", "0x1234", pkg});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, PUBTIME_LINE);
    EXPECT_EQ(r.err, UpdateFrom(pkg));
    EXPECT_EQ(ReadFile(dir.file("etc/app.conf")), p.small);
    EXPECT_EQ(ReadFile(dir.file("opt/app/bin/tool")), p.big);
    EXPECT_TRUE(FileExists(dir.file("empty")));
    EXPECT_EQ(ReadFile(dir.file("empty")), "");
    EXPECT_EQ(ReadFile(dir.file("log")), "ran\n");
    struct stat st;
    ASSERT_EQ(stat(dir.file("opt/app").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755 & ~Umask());
}

TEST(Pk2updateInstall, VerboseAnnouncesFilesBeforeAndCommandsAfter)
{
    ScratchDir dir;
    Payload p;
    std::string pkg = Write(dir, Package(PayloadEntries(dir, p)));
    RunResult r = Pk2update({"-V", "-d", "0", pkg});
    EXPECT_EQ(r.status, 0);
    // The command text ends with its NUL, so no line end follows it.
    EXPECT_EQ(r.out, "Copy target file: " + dir.file("etc/app.conf") + "\n" +
                         "execute: echo ran >> " + dir.file("log") +
                         "Copy target file: " + dir.file("opt/app/bin/tool") + "\n" +
                         "Copy target file: " + dir.file("empty") + "\n" + PUBTIME_LINE);
    EXPECT_EQ(r.err, UpdateFrom(pkg));
}

TEST(Pk2updateInstall, IdentifierDecidesWhetherThePackageIsTaken)
{
    struct Case {
        const char *name;
        const char *ident_arg;
        int status;
        const char *out;
        const char *err;  // after the "Update from" line; null: no such line
    };
    const Case cases[] = {
        {"same identifier in hexadecimal", "0x1234", 0, PUBTIME_LINE, ""},
        {"same identifier in decimal", "4660", 0, PUBTIME_LINE, ""},
        {"zero accepts any package", "0", 0, PUBTIME_LINE, ""},
        {"another identifier", "0x1235", 255, "", "Error or unmatched package file.\n\n"},
        {"all ones means verify only", "0xFFFFFFFF", 0, "", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        std::string pkg = Write(dir, Package({PackFile(dir.file("f"), "data")}));
        RunResult r = Pk2update({"-d", c.ident_arg, pkg});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err ? UpdateFrom(pkg) + c.err : "");
        EXPECT_EQ(FileExists(dir.file("f")), c.status == 0 && c.err != nullptr);
    }
}

TEST(Pk2updateInstall, EntriesRunInPackageOrderAndFailingCommandsDoNotStop)
{
    ScratchDir dir;
    std::string log = dir.file("order");
    std::string pkg = Write(dir, Package({PackCmd("echo one >> " + log),
                                       PackCmd("echo two >> " + log + "; exit 3"),
                                       PackFile(dir.file("made"), "three\n"),
                                       PackCmd("cat " + dir.file("made") + " >> " + log),
                                       PackCmd("echo four >> " + log)}));
    RunResult r = Pk2update({"-d", "0x1234", pkg});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, PUBTIME_LINE);
    EXPECT_EQ(ReadFile(log), "one\ntwo\nthree\nfour\n");
}

TEST(Pk2updateInstall, BadDigestInLastEntryInstallsNothing)
{
    ScratchDir dir;
    Payload p;
    std::vector<PackEntry> entries = PayloadEntries(dir, p);
    entries.back().md5 = PackDigest{};
    std::string pkg = Write(dir, Package(entries));
    RunResult r = Pk2update({"-d", "0x1234", pkg});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, UpdateFrom(pkg) + "verify pk2 failed.\n");
    EXPECT_FALSE(FileExists(dir.file("etc")));
    EXPECT_FALSE(FileExists(dir.file("log")));
}

// A target on a file system that fills up: the copy breaks off, the
// target keeps what fitted, and nothing after it is installed.
TEST(Pk2updateInstall, FullFileSystemBreaksOffWithWriteError)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    ScratchDir dir;
    std::string small = dir.file("small");
    std::string full = dir.file("full");
    ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
    std::string big = RandomBytes(256 * 1024, 11);
    std::string pkg = Write(dir, Package({PackFile(small, "before\n"),
                                       PackFile(full + "/big", big),
                                       PackCmd("echo after > " + dir.file("after"))}));
    std::string script =
        "mount -t tmpfs -o size=64k none \"$1\" || exit 99\n"
        "\"$2\" -d 0x1234 \"$3\"; st=$?\n"
        "wc -c < \"$1/big\" > \"$4\"\n"
        "exit $st\n";
    RunResult r = RunProgram({"unshare", "-m", "sh", "-c", script, "sh", full,
                              BuiltProgram("pk2update"), pkg, dir.file("kept")});
    ASSERT_NE(r.status, 99) << r.err;
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, UpdateFrom(pkg) + "Can't write target file: " + full + "/big\n");
    EXPECT_EQ(ReadFile(small), "before\n");
    EXPECT_FALSE(FileExists(dir.file("after")));
    long kept = std::stol(ReadFile(dir.file("kept")));
    EXPECT_GT(kept, 0);
    EXPECT_LT(kept, static_cast<long>(big.size()));
    EXPECT_FALSE(FileExists(full + "/big")) << "the tmpfs stayed private";
}

TEST(Pk2updateInstall, DeviceThatRefusesWritesBreaksOffWithWriteError)
{
    ScratchDir dir;
    std::string pkg = Write(dir, Package({PackFile("/dev/full", "no room for this\n"),
                                       PackCmd("echo after > " + dir.file("after"))}));
    RunResult r = Pk2update({"-V", "-d", "0x1234", pkg});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Copy target file: /dev/full\n");
    EXPECT_EQ(r.err, UpdateFrom(pkg) + "Can't write target file: /dev/full\n");
    EXPECT_FALSE(FileExists(dir.file("after")));
}

TEST(Pk2packProgram, CreateThenListShowsGoodDigestsAndTamperingShowsBad)
{
    ScratchDir dir;
    WriteFile(dir.file("src.bin"), RandomBytes(20000, 3));
    std::string pkg = dir.file("made.pk2");
    RunResult made = RunProgram({BuiltProgram("pk2pack"), "create", "-o", pkg, "-d", "0x1234",
                                 "-t", "0x5F00A1B2", "-n", "-f",
                                 dir.file("src.bin") + ":" + dir.file("out/dst.bin"),
                                 "-x", "echo done > " + dir.file("done")});
    ASSERT_EQ(made.status, 0) << made.err;
    std::string listing_head = "magic    PK2\nident    0x00001234 (4660)\npubtime  0x5F00A1B2\n"
                               "flags    0x00000001 (publication time not recorded)\n"
                               "entries  2\n#    type  length     md5   target or command\n";
    std::string file_line = "1    FILE  " + std::to_string(20000 + 8 + dir.file("out/dst.bin").size() + 1);
    RunResult listed = RunProgram({BuiltProgram("pk2pack"), "list", pkg});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out.substr(0, listing_head.size()), listing_head);
    EXPECT_NE(listed.out.find(file_line), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(" good  " + dir.file("out/dst.bin") + "\n"), std::string::npos);
    EXPECT_NE(listed.out.find(" good  echo done > " + dir.file("done") + "\n"), std::string::npos);
    EXPECT_NE(listed.out.find("end      exact"), std::string::npos);

    RunResult installed = Pk2update({"-d", "0x1234", pkg});
    EXPECT_EQ(installed.status, 0);
    EXPECT_EQ(ReadFile(dir.file("out/dst.bin")), ReadFile(dir.file("src.bin")));
    EXPECT_EQ(ReadFile(dir.file("done")), "done\n");

    std::string bytes = ReadFile(pkg);
    bytes[bytes.size() / 2] ^= 0x01;
    PackWriteBytes(pkg, bytes);
    listed = RunProgram({BuiltProgram("pk2pack"), "list", pkg});
    EXPECT_EQ(listed.status, 1);
    EXPECT_NE(listed.out.find(" BAD   " + dir.file("out/dst.bin") + "\n"), std::string::npos)
        << listed.out;
    RunResult verified = Pk2update({pkg});
    EXPECT_EQ(verified.status, 254);
    EXPECT_EQ(verified.err, "verify pk2 failed.\n");
}

// pk2pack create refuses what the device could not take and leaves no
// package behind.
TEST(Pk2packProgram, CreateRefusesBadArgumentsAndSources)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;  // after "create -o OUT"; SRC is a 10-byte file
        int status;
        const char *err_start;
    };
    const std::string long_target = "/" + std::string(255, 't');
    const Case cases[] = {
        {"source is a directory", {"-d", "1", "-f", "DIR:/x"}, 1, "pk2pack: cannot read "},
        {"source is missing", {"-d", "1", "-f", "DIR/none:/x"}, 1, "pk2pack: cannot read "},
        {"target of 256 characters", {"-d", "1", "-f", "SRC:" + long_target}, 1,
         "pk2pack: target longer than 255 characters"},
        {"command of 8192 characters", {"-d", "1", "-x", std::string(8192, 'c')}, 1,
         "pk2pack: command longer than 8191 characters"},
        {"no colon in -f", {"-d", "1", "-f", "SRC"}, 2, "pk2pack: -f wants SRC:TARGET"},
        {"identifier too large", {"-d", "0x100000000"}, 2, "pk2pack: -d wants a number"},
        {"negative time", {"-d", "1", "-t", "-5"}, 2, "pk2pack: -t wants a number"},
        {"no identifier", {"-x", "true"}, 2, "pk2pack: create needs -o OUT and -d IDENT"},
        {"unknown option", {"-d", "1", "-q"}, 2, "pk2pack: unknown option or missing value: -q"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        WriteFile(dir.file("src"), "0123456789");
        std::string out = dir.file("out.pk2");
        std::vector<std::string> argv = {BuiltProgram("pk2pack"), "create", "-o", out};
        for (std::string a : c.args) {
            if (a.rfind("DIR", 0) == 0)
                a.replace(0, 3, dir.path);
            if (a.rfind("SRC", 0) == 0)
                a.replace(0, 3, dir.file("src"));
            argv.push_back(a);
        }
        RunResult r = RunProgram(argv);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.rfind(c.err_start, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(FileExists(out));
    }
}

// pk2pack list must refuse exactly what the device's reader refuses, or a
// firmware engineer would ship a package the camera rejects.
TEST(Pk2packProgram, ListAgreesWithTheReaderOnBrokenPackages)
{
    using Spoil = void (*)(PackSpec *desc);
    struct Case {
        const char *name;
        Spoil spoil;
        const char *tail;  // bytes appended to the package
        size_t cut_to;     // bytes kept of the package, 0 for all
        bool sound;
    };
    Spoil nothing = [](PackSpec *) {};
    const Case cases[] = {
        {"sound package", nothing, "", 0, true},
        {"bad digest", [](PackSpec *s) { s->entries[0].md5 = PackDigest{}; }, "", 0, false},
        {"byte after the last entry", nothing, "x", 0, false},
        {"one entry more than present", [](PackSpec *s) { s->entry_count = 3; }, "", 0, false},
        {"lengths disagree", [](PackSpec *s) { s->entries[0].data_length = 1; }, "", 0, false},
        {"name without NUL", [](PackSpec *s) { s->entries[0].name = "/tmp/x"; }, "", 0, false},
        {"empty target path", [](PackSpec *s) { s->entries[0] = PackFile("", "d"); }, "", 0, false},
        {"name of 257 bytes",
         [](PackSpec *s) { s->entries[0] = PackFile(std::string(256, 'n'), "d"); }, "", 0, false},
        {"name of 256 bytes",
         [](PackSpec *s) { s->entries[0] = PackFile(std::string(255, 'n'), "d"); }, "", 0, true},
        {"command of 8193 bytes",
         [](PackSpec *s) { s->entries[1] = PackCmd(std::string(8192, ':')); }, "", 0, false},
        {"command of 8192 bytes",
         [](PackSpec *s) { s->entries[1] = PackCmd(std::string(8191, ':')); }, "", 0, true},
        {"command of no bytes",
         [](PackSpec *s) { s->entries[1] = PackRaw(std::string("CMD\0", 4), ""); }, "", 0, false},
        {"other type with a wrong digest",
         [](PackSpec *s) {
             s->entries.push_back(PackRaw("XYZ", "abc"));
             s->entries.back().md5 = PackDigest{};
         },
         "", 0, true},
        {"other type cut short",
         [](PackSpec *s) {
             s->entries.push_back(PackRaw("XYZ", "abc"));
             s->entries.back().length = 4;
         },
         "", 0, false},
        {"wrong magic", [](PackSpec *s) { s->magic = "PK3"; }, "", 0, false},
        {"header of 27 bytes", nothing, "", 27, false},
        {"data cut short", nothing, "", 28 + 24 + 8 + 100, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        PackSpec desc = Package({PackFile(dir.file("f"), RandomBytes(9000, 5)), PackCmd("true")});
        c.spoil(&desc);
        std::string bytes = PackBuild(desc) + c.tail;
        if (c.cut_to)
            bytes.resize(c.cut_to);
        std::string pkg = dir.file("p.pk2");
        ASSERT_TRUE(PackWriteBytes(pkg, bytes));
        RunResult listed = RunProgram({BuiltProgram("pk2pack"), "list", pkg});
        RunResult verified = Pk2update({pkg});
        EXPECT_EQ(listed.status, c.sound ? 0 : 1) << listed.out;
        EXPECT_EQ(verified.status == 0, c.sound) << verified.err;
        EXPECT_FALSE(FileExists(dir.file("f")));
    }
}

}  // namespace
