#include "pk2.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pk2pack.h"
#include "settings.h"

// Takes the place of the C library's fsync for the whole test program:
// while fsync_log is set it records the file's size at every call (so a
// sync that comes before its flush shows) and fails with fsync_errno if set.
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
const char PUBTIME_LINE[] = "PUBTIME: 0x5F00AB\n";

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string pattern(size_t size, unsigned seed)
{
    std::string s(size, '\0');
    for (char &c : s)
        c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    return s;
}

std::string pkg(std::vector<PackEntry> entries, uint32_t flags = 0)
{
    PackDesc s;
    s.ident = IDENT;
    s.pubtime = PUBTIME;
    s.flags = flags;
    s.entries = std::move(entries);
    return PackBuild(s);
}

PackEntry withBadDigest(PackEntry e)  // only the last byte differs
{
    e.md5 = PackEntryDigest(e);
    (*e.md5)[15] ^= 1;
    return e;
}

struct Outcome {
    int rc;
    std::string out, err;
};

// A scratch directory per test; run() stores the package there as p.pk2
// (none when bytes is empty) and calls exec_pk2, capturing standard output
// and error, the commands' included.
class Pk2 : public testing::Test {
protected:
    std::string dir = [] { char t[] = "/tmp/pk2_test.XXXXXX"; return std::string(mkdtemp(t)); }();
    ~Pk2() override
    {
        verbose = 0;
        fsync_log = nullptr;
        fsync_errno = 0;
        std::filesystem::remove_all(dir);
    }
    std::string f(const std::string &name) const { return dir + "/" + name; }
    Outcome run(const std::string &bytes, uint32_t ident, uint32_t *record = nullptr)
    {
        unlink(f("p.pk2").c_str());
        if (!bytes.empty())
            EXPECT_TRUE(PackWriteBytes(f("p.pk2"), bytes));
        fflush(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = exec_pk2(f("p.pk2").c_str(), ident, record);
        std::string out = testing::internal::GetCapturedStdout();
        return {rc, out, testing::internal::GetCapturedStderr()};
    }
};

// What is decided before any entry is read: the file, the header, the
// identifier and the publication-time record (record 0: none given); the
// 28-byte package without entries; and a package laid down by hand, so the
// builder and the reader can't share a mistake: header, a CMD "" (digest
// of one NUL byte, payload 00^5C) and a FILE "a" holding "xy".
TEST_F(Pk2, HeaderIdentifierAndRecord)
{
    auto flagged = [&](uint32_t flags) { return pkg({PackFile(f("t"), "x")}, flags); };
    const std::string good = flagged(0), empty = pkg({});
    ASSERT_EQ(empty.size(), 28u);
    const char bytes[] = "PK2\0\7\0\0\0\xab\0\x5f\0\0\0\0\0\0\0\0\0\0\0\0\0\2\0\0\0"
                         "CMD\0\x93\xb8\x85\xad\xfe\x0d\xa0\x89\xcd\xf6\x34\x90\x4f\xd5"
                         "\x9f\x71\1\0\0\0\x5c"
                         "FILE\xe4\x6c\xcf\x6e\x08\xf8\xf3\x41\x8e\xb6\x6b\x54\x51\x68"
                         "\xe8\x01\14\0\0\0\2\0\0\0a\0\2\0\0\0\x24\x60";  // 'x' ^ 0x5C, 'y' ^ 0x19
    const std::string hand(bytes, sizeof bytes - 1);
    EXPECT_EQ(pkg({PackCmd(""), PackFile("a", "xy")}), hand);
    const char UNMATCHED[] = "Error or unmatched package file.\n\n", IGNORED[] = "Ignore image.\n";
    const struct {
        const char *name;
        std::string bytes;  // empty: no package file
        uint32_t ident, record, want_record;
        int rc;
        const char *err;
    } cases[] = {
        {"missing", "", IDENT, 0, 0, -1, "Can't open file: %s\n"},
        {"27 bytes", good.substr(0, 27), 0, 0, 0, -1, UNMATCHED},
        {"magic", "PK2X" + good.substr(4), 0, 0, 0, -1, UNMATCHED},
        {"other ident", good, IDENT + 1, 0, 0, -1, UNMATCHED},
        {"other ident, verify only", good, IDENT_VERIFY_ONLY, 0, 0, 0, ""},
        {"ident 0 takes any", good, 0, 0, 0, 0, ""},
        {"empty package, verify only", empty, IDENT_VERIFY_ONLY, 0, 0, 0, ""},
        {"empty package", empty, 0, 0, 0, 0, ""},
        {"hand-made package", hand, IDENT_VERIFY_ONLY, 0, 0, 0, ""},
        {"same pubtime", good, IDENT, PUBTIME, PUBTIME, -1, IGNORED},
        {"same pubtime, keep flag", flagged(1), IDENT, PUBTIME, PUBTIME, -1, IGNORED},
        {"new pubtime", good, IDENT, 1, PUBTIME, 0, ""},
        {"recorded before verification",
         pkg({PackFile(f("t"), "x"), withBadDigest(PackCmd("true"))}), IDENT, 1, PUBTIME, -2,
         "verify pk2 failed.\n"},
        {"keep flag", flagged(1), IDENT, 1, 1, 0, ""},
        {"keep flag, other bits ignored", flagged(0xFFFFFFFF), IDENT, 1, 1, 0, ""},
        {"flag bit 1 only", flagged(2), IDENT, 1, PUBTIME, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(f("t").c_str());
        uint32_t record = c.record;
        Outcome o = run(c.bytes, c.ident, c.record ? &record : nullptr);
        char err[512];
        snprintf(err, sizeof err, c.err, f("p.pk2").c_str());
        bool installed = c.rc == 0 && c.ident != IDENT_VERIFY_ONLY;
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.err, err);
        EXPECT_EQ(o.out, installed ? PUBTIME_LINE : "");
        EXPECT_EQ(record, c.want_record);
        EXPECT_EQ(exists(f("t")), installed && c.bytes != empty);
    }
}

// Every row spoils the package after a sound FILE and a sound CMD: neither
// may be carried out, since nothing is installed before all is verified.
TEST_F(Pk2, VerificationFailureInstallsNothing)
{
    const std::string first = f("first"), log = f("log");
    using Spoil = std::function<void(PackEntry &)>;
    auto tailed = [&](PackEntry last, Spoil spoil) {
        spoil(last);
        return pkg({PackFile(first, "1"), PackCmd("echo ran >> " + log), last});
    };
    auto file = [&](Spoil spoil) { return tailed(PackFile(f("last"), "data"), spoil); };
    auto cmd = [&](Spoil spoil) { return tailed(PackCmd("echo last >> " + log), spoil); };
    const std::string sound = file([](PackEntry &) {}), long_name(257 - dir.size() - 2, 'n');
    std::string three = pkg({PackFile(first, "1"), PackCmd("echo ran >> " + log)});
    three[24] = 3;  // entry_count
    const struct { const char *name; std::string bytes; } cases[] = {
        {"FILE digest", file([](PackEntry &e) { e = withBadDigest(e); })},
        {"CMD digest", cmd([](PackEntry &e) { e = withBadDigest(e); })},
        {"entry count above entries", three},
        {"one trailing byte", sound + '\0'},
        {"empty package and a byte", pkg({}) + 'x'},
        {"ends inside data", sound.substr(0, sound.size() - 1)},
        {"length above fields", file([](PackEntry &e) { e.length = 4 + 8 + e.name.size() + 1; })},
        {"data_length below data", file([](PackEntry &e) { e.data_length = 3; })},
        {"name_length 0", file([](PackEntry &e) { e.name = ""; })},
        {"name_length 257", file([&](PackEntry &e) { e.name = f(long_name) + '\0'; })},
        {"name without NUL", file([](PackEntry &e) { e.name = "abc"; })},
        {"empty name", file([](PackEntry &e) { e.name = std::string("\0abc\0", 5); })},
        {"data_length 2^31", file([](PackEntry &e) {
             e.data_length = 0x80000000u, e.length = 0x80000000u + 8 + e.name.size(); })},
        {"lengths agree only modulo 2^32", file([](PackEntry &e) {
             e.data_length = 0xFFFFFFFFu - 8 - e.name.size() + 1, e.length = 0; })},
        {"name_length wraps",
         file([](PackEntry &e) { e.name_length = 0xFFFFFFF8u, e.length = 4; })},
        {"CMD length 0", cmd([](PackEntry &e) { e.data = ""; })},
        {"CMD length 8193", cmd([](PackEntry &e) { e.data = std::string(8192, ' ') + '\0'; })},
        {"CMD without NUL", cmd([](PackEntry &e) { e.data = "true"; })},
        {"CMD length 2^31", cmd([](PackEntry &e) { e.length = 0x80000000u; })},
        {"other type beyond end",
         tailed(PackRaw("XYZW", "abc"), [](PackEntry &e) { e.length = 100; })},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (uint32_t ident : {IDENT, IDENT_VERIFY_ONLY}) {
            Outcome o = run(c.bytes, ident);
            EXPECT_EQ(o.rc, -2);
            EXPECT_EQ(o.err, "verify pk2 failed.\n");
            EXPECT_EQ(o.out, "");
        }
        EXPECT_FALSE(exists(first));
        EXPECT_FALSE(exists(log));
        EXPECT_FALSE(exists(f("last")));
    }
}

// Sizes around the work buffer and the sync interval: each target comes
// out byte for byte (the key restarts with every piece) and is synced
// every 64 KiB and at its end; a stale target is truncated.
TEST_F(Pk2, InstallsEverySizeSyncedEvery64KiB)
{
    const struct { size_t size; std::vector<long long> syncs; } files[] = {
        {0, {0}}, {1, {1}}, {7, {7}}, {8, {8}}, {9, {9}}, {8191, {8191}}, {8192, {8192}},
        {8193, {8193}}, {65535, {65535}}, {65536, {65536, 65536}}, {65537, {65536, 65537}},
        {300001, {65536, 131072, 196608, 262144, 300001}}};
    std::vector<PackEntry> entries;
    std::vector<long long> want, log;
    for (const auto &t : files) {
        entries.push_back(PackFile(f("d/" + std::to_string(t.size)), pattern(t.size, t.size)));
        want.insert(want.end(), t.syncs.begin(), t.syncs.end());
    }
    std::filesystem::create_directories(f("d"));
    std::ofstream(f("d/0")) << "stale content";
    fsync_log = &log;
    Outcome o = run(pkg(entries), IDENT);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(log, want);
    for (const auto &t : files)
        EXPECT_EQ(slurp(f("d/" + std::to_string(t.size))), pattern(t.size, t.size)) << t.size;
}

// Verifying prints and writes nothing. Installing: other types ("file",
// "CMD " too) are passed over whatever their digest; the largest name (256
// bytes with its NUL) and command (8192) are taken, and bytes after a
// name's NUL are no part of the path; commands run in order and a failing
// one does not stop the rest; the verbose line of a file comes before it
// is opened, that of a command after the command has run. A target whose
// directory part is a regular file ends the installation; the entries
// before it stay installed.
TEST_F(Pk2, InstallsEntriesInOrder)
{
    const std::string log = f("log"), longest = f(std::string(255 - dir.size() - 1, 'n'));
    ASSERT_EQ(longest.size(), 255u);
    std::string long_cmd = "echo 2 >> " + log;
    long_cmd.resize(8191, ' ');
    PackEntry other = PackRaw("XYZW", "garbage"), lower = PackFile(f("lower"), "x");
    other.md5 = PackDigest{};
    lower.type = "file";
    PackEntry junk_name = PackFile(f("short"), "s");
    junk_name.name += "junk";
    const std::string blocked = f("short/sub/t");
    const std::string bytes =
        pkg({PackCmd("echo 1 >> " + log), other, PackCmd("exit 3"), lower,
             PackRaw("CMD ", "echo bad >> " + log), PackFile(longest, "l"), PackCmd("printf hi"),
             PackCmd(long_cmd), junk_name, PackFile(blocked, "x"), PackCmd("echo 3 >> " + log)});
    verbose = 1;
    Outcome verified = run(bytes, IDENT_VERIFY_ONLY);
    EXPECT_EQ(verified.rc, 0);
    EXPECT_EQ(verified.out + verified.err, "");
    EXPECT_FALSE(exists(log));
    EXPECT_FALSE(exists(longest));
    Outcome o = run(bytes, IDENT);
    EXPECT_EQ(o.rc, -2);
    EXPECT_EQ(o.out, "execute: echo 1 >> " + log + "execute: exit 3Copy target file: " + longest +
                         "\nhiexecute: printf hiexecute: " + long_cmd + "Copy target file: " +
                         f("short") + "\nCopy target file: " + blocked + "\n");
    EXPECT_EQ(o.err, "Cann't create target file: " + blocked + "\n");
    EXPECT_EQ(slurp(log), "1\n2\n");
    EXPECT_EQ(slurp(longest), "l");
    EXPECT_EQ(slurp(f("short")), "s");
    EXPECT_FALSE(exists(f("lower")));
}

// A target that takes no data, or whose sync fails, breaks the
// installation off; one with nothing to sync (/dev/null, EINVAL, EROFS) is
// written like any other. A target file keeps what was written.
TEST_F(Pk2, TargetWriteFailureBreaksOff)
{
    const std::string t = f("t");
    const struct { std::string target; size_t size; int sync_errno, rc; } cases[] = {
        {"/dev/full", 10, 0, -1}, {"/dev/full", 70000, 0, -1}, {"/dev/null", 70000, 0, 0},
        {t, 1, EIO, -1},          {t, 1, ENOSPC, -1},          {t, 1, EINVAL, 0},
        {t, 1, EROFS, 0},
    };
    std::vector<long long> syncs;
    fsync_log = &syncs;
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        unlink(f("log").c_str());
        fsync_errno = c.sync_errno;
        Outcome o = run(pkg({PackFile(c.target, pattern(c.size, 1)),
                             PackCmd("echo ran >> " + f("log"))}),
                        IDENT);
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.err, c.rc ? "Can't write target file: " + c.target + "\n" : "");
        EXPECT_EQ(exists(f("log")), c.rc == 0);
        if (c.target == t)
            EXPECT_EQ(slurp(t), pattern(c.size, 1));
    }
}

TEST_F(Pk2, FopenexCreatesMissingDirectories)
{
    for (auto [mask, want] : {std::pair<mode_t, mode_t>{0, 0755}, {022, 0755}, {077, 0700}}) {
        SCOPED_TRACE(mask);
        const std::string top = f("a" + std::to_string(mask)), path = top + "/b/c/file";
        mode_t old = umask(mask);
        FILE *file = fopenex(path.c_str(), "wb");
        umask(old);
        ASSERT_NE(file, nullptr);
        fclose(file);
        struct stat st;
        for (const std::string &d : {top, top + "/b", top + "/b/c"}) {
            ASSERT_EQ(stat(d.c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, want);
        }
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
    }
    EXPECT_EQ(fopenex(f("missing/x").c_str(), "rb"), nullptr);
    EXPECT_TRUE(exists(f("missing")));
}

}  // namespace
