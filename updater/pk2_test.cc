#include "pk2.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pk2pack.h"
#include "settings.h"

// This fsync takes the place of the C library's for the whole test
// program: while fsync_log is set it records the size of the file at every
// call (so a sync that comes before its flush shows) and fails with
// fsync_errno when that is not 0.
static std::vector<long long> *fsync_log;
static int fsync_errno;

extern "C" int fsync(int fd)
{
    if (fsync_log) {
        struct stat st;
        fstat(fd, &st);
        fsync_log->push_back(st.st_size);
        if (fsync_errno) {
            errno = fsync_errno;
            return -1;
        }
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

const uint32_t IDENT = 7;
const uint32_t PUBTIME = 0x5F00AB;

struct Scratch {
    std::string path;
    Scratch()
    {
        char tmpl[] = "/tmp/pk2_test.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~Scratch() { std::filesystem::remove_all(path); }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string drain(FILE *f)
{
    std::string s;
    rewind(f);
    for (int c; (c = fgetc(f)) != EOF;)
        s += static_cast<char>(c);
    fclose(f);
    return s;
}

struct Outcome {
    int rc;
    std::string out, err;
};

// Runs exec_pk2 with standard output and error (commands' included) taken
// into files.
Outcome run(const std::string &pkg, uint32_t ident, uint32_t *record = nullptr)
{
    fflush(stdout);
    fflush(stderr);
    FILE *out = tmpfile(), *err = tmpfile();
    int saved_out = dup(1), saved_err = dup(2);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    int rc = exec_pk2(pkg.c_str(), ident, record);
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    return {rc, drain(out), drain(err)};
}

PackSpec desc(std::vector<PackEntry> entries)
{
    PackSpec s;
    s.ident = IDENT;
    s.pubtime = PUBTIME;
    s.entries = std::move(entries);
    return s;
}

std::string pattern(size_t size, unsigned seed)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

PackEntry withBadDigest(PackEntry e)
{
    PackDigest d = PackEntryDigest(e);
    d[15] ^= 1;
    e.md5 = d;
    return e;
}

// verbose is set for one test and cleared after it.
struct VerboseOn {
    VerboseOn() { verbose = 1; }
    ~VerboseOn() { verbose = 0; }
};

}  // namespace

// Bytes laid down by hand, so the builder and the reader can't share a
// mistake: header, a CMD "" (digest of one NUL byte, payload 00^5C) and a
// FILE "a" holding "xy".
TEST(Pk2, ReadsHandMadePackage)
{
    Scratch dir;
    const unsigned char bytes[] = {
        'P', 'K', '2', 0, 5, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0,
        'C', 'M', 'D', 0, 0x93, 0xb8, 0x85, 0xad, 0xfe, 0x0d, 0xa0, 0x89,
        0xcd, 0xf6, 0x34, 0x90, 0x4f, 0xd5, 0x9f, 0x71, 1, 0, 0, 0, 0x5c,
        'F', 'I', 'L', 'E', 0xe4, 0x6c, 0xcf, 0x6e, 0x08, 0xf8, 0xf3, 0x41,
        0x8e, 0xb6, 0x6b, 0x54, 0x51, 0x68, 0xe8, 0x01, 12, 0, 0, 0,
        2, 0, 0, 0, 'a', 0, 2, 0, 0, 0, 'x' ^ 0x5c, 'y' ^ 0x19};
    std::string hand(reinterpret_cast<const char *>(bytes), sizeof bytes);
    PackSpec s;
    s.ident = 5;
    s.pubtime = 0x1234;
    s.entries = {PackCmd(""), PackFile("a", "xy")};
    EXPECT_EQ(PackBuild(s), hand);
    ASSERT_TRUE(PackWriteBytes(dir.file("p.pk2"), hand));
    Outcome o = run(dir.file("p.pk2"), IDENT_VERIFY_ONLY);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out + o.err, "");
}

TEST(Pk2, HeaderAndIdentifier)
{
    Scratch dir;
    std::string good = PackBuild(desc({PackFile(dir.file("t"), "x")}));
    std::string bad_magic = good;
    bad_magic[3] = 'X';
    struct Case {
        const char *name;
        std::string bytes;  // empty: no package file at all
        uint32_t ident;
        int rc;
        const char *err;
        bool installed;
    } cases[] = {
        {"missing", "", IDENT, -1, "Can't open file: %s\n", false},
        {"27 bytes", good.substr(0, 27), 0, -1, "Error or unmatched package file.\n\n", false},
        {"magic", bad_magic, 0, -1, "Error or unmatched package file.\n\n", false},
        {"lower case magic", "pk2" + good.substr(3), 0, -1,
         "Error or unmatched package file.\n\n", false},
        {"other ident", good, IDENT + 1, -1, "Error or unmatched package file.\n\n", false},
        {"other ident, verify only", good, IDENT_VERIFY_ONLY, 0, "", false},
        {"ident 0 takes any", good, 0, 0, "", true},
        {"same ident", good, IDENT, 0, "", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string pkg = dir.file("p.pk2");
        unlink(pkg.c_str());
        unlink(dir.file("t").c_str());
        if (!c.bytes.empty())
            ASSERT_TRUE(PackWriteBytes(pkg, c.bytes));
        Outcome o = run(pkg, c.ident);
        char err[512];
        snprintf(err, sizeof err, c.err, pkg.c_str());
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.err, err);
        EXPECT_EQ(o.out, c.installed ? "PUBTIME: 0x5F00AB\n" : "");
        EXPECT_EQ(exists(dir.file("t")), c.installed);
    }
}

TEST(Pk2, PublicationTimeRecord)
{
    Scratch dir;
    PackEntry bad = withBadDigest(PackCmd("true"));
    struct Case {
        const char *name;
        uint32_t flags;
        bool sound;
        uint32_t record, want_record;
        int rc;
        const char *err;
    } cases[] = {
        {"same pubtime", 0, true, PUBTIME, PUBTIME, -1, "Ignore image.\n"},
        {"same pubtime, keep flag", 1, true, PUBTIME, PUBTIME, -1, "Ignore image.\n"},
        {"new pubtime", 0, true, 1, PUBTIME, 0, ""},
        {"recorded before verification", 0, false, 1, PUBTIME, -2, "verify pk2 failed.\n"},
        {"keep flag", 1, true, 1, 1, 0, ""},
        {"keep flag, other bits ignored", 0xFFFFFFFF, true, 1, 1, 0, ""},
        {"flag bit 1 only", 2, true, 1, PUBTIME, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(dir.file("t").c_str());
        PackSpec s = desc({PackFile(dir.file("t"), "x")});
        if (!c.sound)
            s.entries.push_back(bad);
        s.flags = c.flags;
        ASSERT_TRUE(PackWrite(dir.file("p.pk2"), s));
        uint32_t record = c.record;
        Outcome o = run(dir.file("p.pk2"), IDENT, &record);
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(record, c.want_record);
        EXPECT_EQ(exists(dir.file("t")), c.rc == 0);
    }
}

// Every row spoils the package after a sound FILE and a sound CMD: neither
// may be carried out, since nothing is installed before all is verified.
TEST(Pk2, VerificationFailureInstallsNothing)
{
    Scratch dir;
    const std::string first = dir.file("first"), log = dir.file("log");
    const std::string long_name(257 - dir.path.size() - 2, 'n');
    auto tailed = [&](PackEntry last, std::function<void(PackEntry &)> spoil) {
        spoil(last);
        return PackBuild(desc({PackFile(first, "1"), PackCmd("echo ran >> " + log), last}));
    };
    auto file = [&](std::function<void(PackEntry &)> spoil) {
        return tailed(PackFile(dir.file("last"), "data"), spoil);
    };
    auto cmd = [&](std::function<void(PackEntry &)> spoil) {
        return tailed(PackCmd("echo last >> " + log), spoil);
    };
    auto keep = [](PackEntry &) {};
    PackSpec three = desc({PackFile(first, "1"), PackCmd("echo ran >> " + log)});
    three.entry_count = 3;
    struct Case {
        const char *name;
        std::string bytes;
    } cases[] = {
        {"FILE digest", file([](PackEntry &e) { e = withBadDigest(e); })},
        {"CMD digest", cmd([](PackEntry &e) { e = withBadDigest(e); })},
        {"entry count above entries", PackBuild(three)},
        {"one trailing byte", file(keep) + '\0'},
        {"ends inside data", file(keep).substr(0, file(keep).size() - 1)},
        {"ends inside header", file(keep).substr(0, file(keep).size() - 20)},
        {"length above fields", file([](PackEntry &e) { e.length = 4 + 8 + e.name.size() + 1; })},
        {"data_length below data", file([](PackEntry &e) { e.data_length = 3; })},
        {"name_length 0", file([](PackEntry &e) { e.name = ""; })},
        {"name_length 257", file([&](PackEntry &e) { e.name = dir.file(long_name) + '\0'; })},
        {"name without NUL", file([](PackEntry &e) { e.name = "abc"; })},
        {"empty name", file([](PackEntry &e) { e.name = std::string("\0abc\0", 5); })},
        {"data_length 2^31",
         file([](PackEntry &e) {
             e.data_length = 0x80000000u;
             e.length = 0x80000000u + 8 + e.name.size();
         })},
        {"lengths agree only modulo 2^32",
         file([](PackEntry &e) {
             e.data_length = 0xFFFFFFFFu - 8 - e.name.size() + 1;
             e.length = 0;
         })},
        {"name_length wraps", file([](PackEntry &e) { e.name_length = 0xFFFFFFF8u, e.length = 4; })},
        {"CMD length 0", cmd([](PackEntry &e) { e.data = ""; })},
        {"CMD length 8193", cmd([](PackEntry &e) { e.data = std::string(8192, ' ') + '\0'; })},
        {"CMD without NUL", cmd([](PackEntry &e) { e.data = "true"; })},
        {"CMD length 2^31", cmd([](PackEntry &e) { e.length = 0x80000000u; })},
        {"other type beyond end", tailed(PackRaw("XYZW", "abc"), [](PackEntry &e) { e.length = 100; })},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(PackWriteBytes(dir.file("p.pk2"), c.bytes));
        for (uint32_t ident : {IDENT, IDENT_VERIFY_ONLY}) {
            Outcome o = run(dir.file("p.pk2"), ident);
            EXPECT_EQ(o.rc, -2);
            EXPECT_EQ(o.err, "verify pk2 failed.\n");
            EXPECT_EQ(o.out, "");
        }
        EXPECT_FALSE(exists(first));
        EXPECT_FALSE(exists(log));
        EXPECT_FALSE(exists(dir.file("last")));
    }
}

TEST(Pk2, EmptyPackage)
{
    Scratch dir;
    std::string empty = PackBuild(desc({}));
    ASSERT_EQ(empty.size(), 28u);
    ASSERT_TRUE(PackWriteBytes(dir.file("p.pk2"), empty));
    Outcome verified = run(dir.file("p.pk2"), IDENT_VERIFY_ONLY);
    EXPECT_EQ(verified.rc, 0);
    EXPECT_EQ(verified.out + verified.err, "");
    Outcome installed = run(dir.file("p.pk2"), 0);
    EXPECT_EQ(installed.rc, 0);
    EXPECT_EQ(installed.out, "PUBTIME: 0x5F00AB\n");
    EXPECT_EQ(installed.err, "");
    ASSERT_TRUE(PackWriteBytes(dir.file("p.pk2"), empty + 'x'));
    EXPECT_EQ(run(dir.file("p.pk2"), 0).rc, -2);
}

// Sizes around the work buffer and the sync interval; each target must
// come out byte for byte, with the key restarting correctly per piece.
TEST(Pk2, InstallsContentOfEverySize)
{
    Scratch dir;
    const size_t sizes[] = {0, 1, 7, 8, 9, 8191, 8192, 8193, 65535, 65536, 65537, 300001};
    PackSpec s = desc({});
    for (size_t size : sizes)
        s.entries.push_back(PackFile(dir.file("d/" + std::to_string(size)), pattern(size, size)));
    std::string stale = dir.file("d/0");
    std::filesystem::create_directories(dir.file("d"));
    std::ofstream(stale) << "stale content";
    ASSERT_TRUE(PackWrite(dir.file("p.pk2"), s));
    Outcome o = run(dir.file("p.pk2"), IDENT);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        EXPECT_EQ(slurp(dir.file("d/" + std::to_string(size))), pattern(size, size));
    }
}

// name_length 256 and CMD length 8192 are the largest that fit; a name
// may carry bytes after its NUL, which are not part of the path.
TEST(Pk2, LargestEntriesInstall)
{
    Scratch dir;
    std::string longest = dir.file(std::string(255 - dir.path.size() - 1, 'n'));
    ASSERT_EQ(longest.size(), 255u);
    std::string cmd = "echo ran >> " + dir.file("log");
    cmd.resize(8191, ' ');
    PackEntry junk_name = PackFile(dir.file("short"), "s");
    junk_name.name += "junk";
    ASSERT_TRUE(PackWrite(dir.file("p.pk2"),
                          desc({PackFile(longest, "l"), PackCmd(cmd), junk_name})));
    Outcome o = run(dir.file("p.pk2"), IDENT);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(slurp(longest), "l");
    EXPECT_EQ(slurp(dir.file("log")), "ran\n");
    EXPECT_EQ(slurp(dir.file("short")), "s");
}

// Unknown types are passed over whatever their digest says; commands run
// in order, and a failing one does not stop the rest.
TEST(Pk2, OtherTypesSkippedAndCommandsInOrder)
{
    Scratch dir;
    std::string log = dir.file("log");
    PackEntry other = PackRaw("XYZW", "garbage");
    other.md5 = PackDigest{};
    PackEntry lower = PackFile(dir.file("lower"), "x");
    lower.type = "file";
    ASSERT_TRUE(PackWrite(dir.file("p.pk2"),
                          desc({PackCmd("echo 1 >> " + log), other, PackCmd("exit 3"),
                                lower, PackRaw("CMD ", "echo bad >> " + log),
                                PackCmd("echo 2 >> " + log), PackFile(dir.file("f"), "f")})));
    Outcome o = run(dir.file("p.pk2"), IDENT);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(slurp(log), "1\n2\n");
    EXPECT_EQ(slurp(dir.file("f")), "f");
    EXPECT_FALSE(exists(dir.file("lower")));
}

TEST(Pk2, VerboseMessagesInOrder)
{
    Scratch dir;
    VerboseOn on;
    std::string t = dir.file("t");
    ASSERT_TRUE(PackWrite(dir.file("p.pk2"), desc({PackFile(t, "x"), PackCmd("printf hi")})));
    Outcome o = run(dir.file("p.pk2"), IDENT);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out, "Copy target file: " + t + "\nhiexecute: printf hiPUBTIME: 0x5F00AB\n");
    EXPECT_EQ(o.err, "");
    Outcome quiet = run(dir.file("p.pk2"), IDENT_VERIFY_ONLY);
    EXPECT_EQ(quiet.out + quiet.err, "");
}

// A directory part that is a regular file: the line for the file is
// printed before the open fails, the entries before it stay installed and
// none after it runs.
TEST(Pk2, TargetCannotBeCreated)
{
    Scratch dir;
    VerboseOn on;
    std::string blocked = dir.file("first/sub/t");
    ASSERT_TRUE(PackWrite(dir.file("p.pk2"),
                          desc({PackFile(dir.file("first"), "1"), PackFile(blocked, "x"),
                                PackCmd("echo ran >> " + dir.file("log"))})));
    Outcome o = run(dir.file("p.pk2"), IDENT);
    EXPECT_EQ(o.rc, -2);
    EXPECT_EQ(o.out, "Copy target file: " + dir.file("first") + "\nCopy target file: " +
                         blocked + "\n");
    EXPECT_EQ(o.err, "Cann't create target file: " + blocked + "\n");
    EXPECT_EQ(slurp(dir.file("first")), "1");
    EXPECT_FALSE(exists(dir.file("log")));
}

// A target that takes no data breaks the installation off; one that has
// nothing to sync (/dev/null) is written like any other.
TEST(Pk2, TargetWriteFailureBreaksOff)
{
    Scratch dir;
    struct Case {
        const char *target;
        size_t size;
        int rc;
        const char *err;
    } cases[] = {
        {"/dev/full", 10, -1, "Can't write target file: /dev/full\n"},
        {"/dev/full", 70000, -1, "Can't write target file: /dev/full\n"},
        {"/dev/null", 70000, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        unlink(dir.file("log").c_str());
        ASSERT_TRUE(PackWrite(dir.file("p.pk2"),
                              desc({PackFile(c.target, pattern(c.size, 1)),
                                    PackCmd("echo ran >> " + dir.file("log"))})));
        Outcome o = run(dir.file("p.pk2"), IDENT);
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(exists(dir.file("log")), c.rc == 0);
    }
}

TEST(Pk2, TargetsSyncedEvery64KiB)
{
    Scratch dir;
    struct Case {
        size_t size;
        std::vector<long long> syncs;
    } cases[] = {
        {0, {0}},
        {65535, {65535}},
        {65536, {65536, 65536}},
        {65537, {65536, 65537}},
        {200000, {65536, 131072, 196608, 200000}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        ASSERT_TRUE(PackWrite(dir.file("p.pk2"), desc({PackFile(dir.file("t"), pattern(c.size, 3))})));
        std::vector<long long> log;
        fsync_log = &log;
        Outcome o = run(dir.file("p.pk2"), IDENT);
        fsync_log = nullptr;
        EXPECT_EQ(o.rc, 0);
        EXPECT_EQ(log, c.syncs);
    }
}

// A sync that fails breaks the installation off; one the file has no use
// for (EINVAL, EROFS: nothing to sync) does not.
TEST(Pk2, TargetSyncFailure)
{
    Scratch dir;
    struct Case {
        int err;
        int rc;
    } cases[] = {{EIO, -1}, {ENOSPC, -1}, {EINVAL, 0}, {EROFS, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        unlink(dir.file("log").c_str());
        ASSERT_TRUE(PackWrite(dir.file("p.pk2"),
                              desc({PackFile(dir.file("t"), "x"),
                                    PackCmd("echo ran >> " + dir.file("log"))})));
        std::vector<long long> log;
        fsync_log = &log;
        fsync_errno = c.err;
        Outcome o = run(dir.file("p.pk2"), IDENT);
        fsync_log = nullptr;
        fsync_errno = 0;
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.err, c.rc ? "Can't write target file: " + dir.file("t") + "\n" : "");
        EXPECT_EQ(exists(dir.file("log")), c.rc == 0);
        EXPECT_EQ(slurp(dir.file("t")), "x");
    }
}

TEST(Fopenex, CreatesMissingDirectories)
{
    Scratch dir;
    struct Case {
        mode_t umask;
        mode_t want;
    } cases[] = {{022, 0755}, {077, 0700}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want);
        std::string top = dir.file("a" + std::to_string(c.want));
        std::string path = top + "/b/c/file";
        mode_t old = umask(c.umask);
        FILE *f = fopenex(path.c_str(), "wb");
        umask(old);
        ASSERT_NE(f, nullptr);
        fclose(f);
        for (const std::string &d : {top, top + "/b", top + "/b/c"}) {
            struct stat st;
            ASSERT_EQ(stat(d.c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, c.want);
        }
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
    }
    std::string blocked = dir.file("a" + std::to_string(0755) + "/b/c/file/x");
    EXPECT_EQ(fopenex(blocked.c_str(), "wb"), nullptr);
    EXPECT_EQ(fopenex(dir.file("missing/x").c_str(), "rb"), nullptr);
    EXPECT_TRUE(exists(dir.file("missing")));
}
