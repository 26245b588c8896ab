// The updater in-process: the package reader and installer, the update's
// bookkeeping and the partition scan, with the platform fake.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "partition.h"
#include "pk2.h"
#include "pk2pack.h"
#include "platform_fake.h"
#include "settings.h"
#include "update.h"

// Takes the place of the C library's fsync: while fsync_log is set it records
// the file's size at every call (a sync before its flush shows) and fails
// with fsync_errno if set.
static std::vector<long long> *fsync_log;
static int fsync_errno;

extern "C" int fsync(int fd)
{
    struct stat st;
    if (fsync_log && fstat(fd, &st) == 0)
        fsync_log->push_back(st.st_size);
    if (fsync_log && fsync_errno)
        return errno = fsync_errno, -1;
    return static_cast<int>(syscall(SYS_fsync, fd));
}

// Take the place of the C library's open and read, so that the marker can
// fail as a broken card makes it fail.
static int marker_open_errno, marker_read_errno, marker_fd = -1;

extern "C" int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    bool marker = std::string_view(path).ends_with("/.recording");
    if (marker && marker_open_errno)
        return errno = marker_open_errno, -1;
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
    marker_fd = marker ? fd : marker_fd;
    return fd;
}

extern "C" ssize_t read(int fd, void *buf, size_t len)
{
    if (fd == marker_fd && marker_read_errno)
        return errno = marker_read_errno, -1;
    return syscall(SYS_read, fd, buf, len);
}

namespace {

struct ScratchDir {
    std::string path = [] { char t[] = "/tmp/updater_test.XXXXXX"; return std::string(mkdtemp(t)); }();
    ~ScratchDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

bool FileExists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

const char PUBTIME_LINE[] = "PUBTIME: 0x5F00AB\n", VERIFY_FAILED[] = "verify pk2 failed.\n";

std::string pattern(size_t size, unsigned seed)
{
    std::string s(size, '\0');
    for (char &c : s)
        c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    return s;
}

std::string pkg(std::vector<PackEntry> entries, uint32_t flags = 0)
{
    return PackBuild({.ident = 7, .pubtime = 0x5F00AB, .flags = flags, .entries = entries});
}

PackEntry badDigest(PackEntry e)  // only the last byte differs
{
    e.md5 = PackEntryDigest(e);
    (*e.md5)[15] ^= 1;
    return e;
}

struct Outcome {
    int rc;
    std::string out, err;
};

// run() stores the package as p.pk2 (none when bytes is empty) and calls f,
// exec_pk2 by default, capturing standard output and error.
class Pk2 : public testing::Test {
protected:
    ScratchDir dir;
    ~Pk2() override
    {
        verbose = remove_after_process = reboot_after_process = 0;
        fsync_log = nullptr, fsync_errno = 0, inifile = nullptr;
    }
    std::string f(const std::string &name) const { return dir.file(name); }
    Outcome run(const std::string &bytes, uint32_t ident, uint32_t *record = nullptr,
                std::function<int()> call = nullptr)
    {
        unlink(f("p.pk2").c_str());
        if (!bytes.empty())
            WriteFile(f("p.pk2"), bytes);
        fflush(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = call ? call() : exec_pk2(f("p.pk2").c_str(), ident, record);
        std::string out = testing::internal::GetCapturedStdout();
        return {rc, out, testing::internal::GetCapturedStderr()};
    }
};

// What is decided before any entry is read (record 0: none given).
TEST_F(Pk2, HeaderIdentifierAndRecord)
{
    auto flagged = [&](uint32_t flags) { return pkg({PackFile(f("t"), "x")}, flags); };
    const std::string good = flagged(0), empty = pkg({}), UNMATCHED = "Error or unmatched package file.\n\n";
    const struct { std::string bytes; uint32_t ident, record, want_record; int rc; std::string err; } cases[] = {
        {"", 7, 0, 0, -1, "Can't open file: " + f("p.pk2") + "\n"},
        {good.substr(0, 27), 0, 0, 0, -1, UNMATCHED},
        {"PK2X" + good.substr(4), 0, 0, 0, -1, UNMATCHED},
        {good, 8, 0, 0, -1, UNMATCHED},
        {good, IDENT_VERIFY_ONLY, 0, 0, 0, ""},
        {good, 0, 0, 0, 0, ""},
        {empty, 0, 0, 0, 0, ""},
        {good, 7, 0x5F00AB, 0x5F00AB, -1, "Ignore image.\n"},
        {flagged(1), 7, 0x5F00AB, 0x5F00AB, -1, "Ignore image.\n"},
        {good, 7, 1, 0x5F00AB, 0, ""},
        // recorded before the verification fails
        {pkg({PackFile(f("t"), "x"), badDigest(PackCmd("true"))}), 7, 1, 0x5F00AB, -2, VERIFY_FAILED},
        {flagged(1), 7, 1, 1, 0, ""},
        {flagged(0xFFFFFFFF), 7, 1, 1, 0, ""},
        {flagged(2), 7, 1, 0x5F00AB, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        unlink(f("t").c_str());
        uint32_t record = c.record;
        Outcome o = run(c.bytes, c.ident, c.record ? &record : nullptr);
        bool installed = c.rc == 0 && c.ident != IDENT_VERIFY_ONLY;
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, installed ? PUBTIME_LINE : "");
        EXPECT_EQ(record, c.want_record);
        EXPECT_EQ(FileExists(f("t")), installed && c.bytes != empty);
    }
}

// Every row spoils the package after a sound FILE and a sound CMD: neither
// may be carried out, since nothing is installed before all is verified.
TEST_F(Pk2, VerificationFailureInstallsNothing)
{
    using Spoil = std::function<void(PackEntry &)>;
    auto tailed = [&](PackEntry last, Spoil spoil) {
        spoil(last);
        return pkg({PackFile(f("first"), "1"), PackCmd("echo ran >> " + f("log")), last});
    };
    auto file = [&](Spoil spoil) { return tailed(PackFile(f("last"), "data"), spoil); };
    auto cmd = [&](Spoil spoil) { return tailed(PackCmd("true"), spoil); };
    const std::string sound = file([](PackEntry &) {}), long_name = f(std::string(256 - f("").size(), 'n'));
    std::string three = pkg({PackFile(f("first"), "1")});
    three[24] = 2;  // entry_count
    const std::string cases[] = {
        file([](PackEntry &e) { e = badDigest(e); }), cmd([](PackEntry &e) { e = badDigest(e); }),
        three, sound + '\0', pkg({}) + 'x', sound.substr(0, sound.size() - 1),
        file([](PackEntry &e) { e.length = *e.length + 1; }),
        file([](PackEntry &e) { e.data_length = 3; }),
        file([](PackEntry &e) { e.name = ""; }),
        file([&](PackEntry &e) { e.name = long_name + '\0'; }),  // 257 bytes
        file([](PackEntry &e) { e.name = "abc"; }),
        file([](PackEntry &e) { e.name = std::string("\0abc\0", 5); }),
        file([](PackEntry &e) { e.data_length = 0x80000000u, e.length = 0x80000000u + 8 + e.name.size(); }),
        file([](PackEntry &e) { e.data_length = 0xFFFFFFFFu - 7 - e.name.size(), e.length = 0; }),
        file([](PackEntry &e) { e.name_length = 0xFFFFFFF8u, e.length = 4; }),
        cmd([](PackEntry &e) { e.data = ""; }),
        cmd([](PackEntry &e) { e.data = std::string(8192, ' ') + '\0'; }),
        cmd([](PackEntry &e) { e.data = "true"; }),
        tailed(PackRaw("XYZW", "abc"), [](PackEntry &e) { e.length = 100; }),
    };
    for (const std::string &bytes : cases) {
        SCOPED_TRACE(&bytes - cases);
        for (uint32_t ident : {7u, IDENT_VERIFY_ONLY}) {
            Outcome o = run(bytes, ident);
            EXPECT_EQ(o.rc, -2);
            EXPECT_EQ(o.out + o.err, VERIFY_FAILED);
        }
        EXPECT_FALSE(FileExists(f("first")) || FileExists(f("log")) || FileExists(f("last")));
    }
}

// Sizes around the work buffer and the sync interval, and one whose length
// needs all four bytes: each target comes out byte for byte and is synced
// every 64 KiB and at its end; a stale target is truncated.
TEST_F(Pk2, InstallsEverySizeSyncedEvery64KiB)
{
    std::vector<PackEntry> entries;
    std::vector<long long> want, log;
    const size_t sizes[] = {0, 7, 9, 8192, 8193, 65535, 65536, 65537, 0x1000001};
    for (size_t size : sizes) {
        entries.push_back(PackFile(f(std::to_string(size)), pattern(size, size)));
        for (size_t at = 65536; at <= size; at += 65536)
            want.push_back(at);
        want.push_back(size);
    }
    WriteFile(f("0"), "stale content");
    fsync_log = &log;
    Outcome o = run(pkg(entries), 7);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(log, want);
    for (size_t size : sizes)
        EXPECT_TRUE(ReadFile(f(std::to_string(size))) == pattern(size, size)) << size;
}

// Verifying prints and writes nothing. Installing: other types ("file",
// "CMD " too) are passed over whatever their digest; the longest name and
// command are taken, bytes after a name's NUL are no part of the path;
// commands run in order, a failing one does not stop the rest; a file's
// verbose line comes before it is opened, a command's after it ran. A
// target whose directory is a regular file ends the installation.
TEST_F(Pk2, InstallsEntriesInOrder)
{
    const std::string log = f("log"), longest = f(std::string(253 - f("").size(), 'n') + "/m");
    std::string long_cmd = "echo 2 >> " + log;
    long_cmd.resize(8191, ' ');
    PackEntry other = PackRaw("XYZW", "g"), lower = PackFile(f("lower"), "x"), junk = PackFile(f("short"), "s");
    other.md5 = PackDigest{};
    lower.type = "file";
    junk.name += "junk";
    const std::string blocked = f("short/sub/t");
    const std::string bytes =
        pkg({PackCmd("echo 1 >> " + log), other, PackCmd("exit 3"), lower,
             PackRaw("CMD ", "echo bad >> " + log), PackFile(longest, "l"), PackCmd("printf hi"),
             PackCmd(long_cmd), junk, PackFile(blocked, "x"), PackCmd("echo 3 >> " + log)});
    verbose = 1;
    Outcome verified = run(bytes, IDENT_VERIFY_ONLY);
    EXPECT_EQ(verified.rc, 0);
    EXPECT_EQ(verified.out + verified.err, "");
    EXPECT_FALSE(FileExists(log) || FileExists(longest));
    Outcome o = run(bytes, 7);
    EXPECT_EQ(o.rc, -2);
    EXPECT_EQ(o.out, "execute: echo 1 >> " + log + "execute: exit 3Copy target file: " + longest +
                         "\nhiexecute: printf hiexecute: " + long_cmd + "Copy target file: " +
                         f("short") + "\nCopy target file: " + blocked + "\n");
    EXPECT_EQ(o.err, "Cann't create target file: " + blocked + "\n");
    EXPECT_EQ(ReadFile(log) + ReadFile(longest) + ReadFile(f("short")), "1\n2\nls");
    EXPECT_FALSE(FileExists(f("lower")));
    // A directory whose "/" lies beyond the name's limit is not made.
    const std::string beyond = f(std::string(255 - f("").size(), 'b')) + "/t";
    EXPECT_EQ(fopenex(beyond.c_str(), "wb"), nullptr);
    EXPECT_FALSE(FileExists(beyond.substr(0, 255)));
}

// A target that takes no data, or whose sync fails, breaks the installation
// off; one with nothing to sync (/dev/null, EINVAL, EROFS) is written like
// any other. A target file keeps what was written.
TEST_F(Pk2, TargetWriteFailureBreaksOff)
{
    const std::string t = f("t");
    const struct { std::string target; size_t size; int sync_errno, rc; } cases[] = {
        {"/dev/full", 10, 0, -1}, {"/dev/full", 70000, 0, -1}, {"/dev/null", 70000, 0, 0},
        {t, 1, EIO, -1}, {t, 1, EINVAL, 0}, {t, 1, EROFS, 0},
    };
    std::vector<long long> syncs;
    fsync_log = &syncs;
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        unlink(f("log").c_str());
        fsync_errno = c.sync_errno;
        Outcome o = run(pkg({PackFile(c.target, pattern(c.size, 1)), PackCmd("echo > " + f("log"))}), 7);
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.err, c.rc ? "Can't write target file: " + c.target + "\n" : "");
        EXPECT_EQ(FileExists(f("log")), c.rc == 0);
        EXPECT_TRUE(c.target != t || ReadFile(t) == pattern(c.size, 1));
    }
}

// updateFromPk2: the record in the profile (null: no file, after null: as
// before), removal, restart. opts: c profile, r remove, b restart, x a bad
// digest, d a directory in the profile's place.
TEST_F(Pk2, UpdateBookkeeping)
{
    const struct { const char *opts, *before; uint32_t pubtime, flags; int want; const char *after; } cases[] = {
        {"crb", "[updimg]\npubtime=0x10\n", 0x10, 0, -1, nullptr},
        {"", nullptr, 0x20, 0, 0, nullptr},
        {"", nullptr, 0, 0, -1, nullptr},
        {"c", ";\n[net]\n", 0xABCDEF01, 0, 0, ";\n[net]\n[updimg]\npubtime = 0xABCDEF01\n"},
        {"c", "[updimg]\npubtime=020\n", 16, 0, -1, nullptr},
        {"c", "[updimg]\npubtime=17\n", 0x20, 1, 0, "[updimg]\npubtime=0x11\n"},
        {"c", "[updimg]\npubtime=5\n", 0, 0, 0, nullptr},
        {"crbx", "[updimg]\npubtime=5\n", 0x20, 0, -2, nullptr},
        {"crb", "[updimg]\npubtime=5\n", 0x20, 0, 0, "[updimg]\npubtime=0x20\n"},
        {"crbd", nullptr, 0x20, 0, -1, nullptr},
        {"c", "[updimg]\npubtime=0x100000000\n", 0xFFFFFFFF, 0, -1, nullptr},
        {"c", "[updimg]\npubtime=-2\n", 0xFFFFFFFE, 0, -1, nullptr},
        {"c", "[updimg]\npubtime=0x1F junk\n", 0x1F, 0, -1, nullptr},
    };
    const std::string target = f("installed"), ini = f("profile.ini"), package = f("p.pk2");
    identifier = 7;
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        std::filesystem::remove(target), std::filesystem::remove(ini);
        PackEntry entry = PackFile(target, "new\n");
        if (strchr(c.opts, 'x'))
            entry.md5 = PackDigest{};
        if (c.before)
            WriteFile(ini, c.before);
        const bool unsaved = strchr(c.opts, 'd'), installed = c.want == 0 || unsaved;
        if (unsaved)
            mkdir(ini.c_str(), 0755);
        inifile = strchr(c.opts, 'c') ? ini.c_str() : nullptr;
        remove_after_process = strchr(c.opts, 'r') != nullptr;
        reboot_after_process = strchr(c.opts, 'b') != nullptr;
        platform_fake_log.clear();
        Outcome o = run(PackBuild({.ident = 7, .pubtime = c.pubtime, .flags = c.flags, .entries = {entry}}),
                        7, nullptr, [&] { return updateFromPk2(package.c_str()); });
        EXPECT_EQ(o.rc, c.want);
        EXPECT_EQ(o.err.rfind("Update from " + package + " ...\n", 0), 0u) << o.err;
        EXPECT_EQ(o.err.find("Ignore image.\n") != std::string::npos, c.want == -1 && !unsaved);
        EXPECT_EQ(o.err.find("Can't save pubtime to " + ini + "\n") != std::string::npos, unsaved);
        EXPECT_EQ(o.out.find("PUBTIME: 0x") != std::string::npos, installed);
        EXPECT_EQ(FileExists(target), installed);
        EXPECT_EQ(FileExists(package), !remove_after_process);
        EXPECT_EQ(unsaved ? "" : ReadFile(ini), c.after ? c.after : c.before ? c.before : "");
        EXPECT_EQ(platform_fake_log, c.want == 0 && reboot_after_process ? "sync\nreboot 0x1234567\n" : "");
    }
    identifier = IDENT_VERIFY_ONLY;
}


// The lines of log, those from the first under /dev/discs on sorted: discs
// come in directory order.
std::vector<std::string> discsSorted(const std::string &log)
{
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(log.substr(at, end - at));
    std::sort(std::find_if(lines.begin(), lines.end(), [](auto &l) { return l.find("/discs/") != l.npos; }), lines.end());
    return lines;
}

std::string replaced(std::string s, const std::string &key, const std::string &value)
{
    for (size_t at; (at = s.find(key)) != std::string::npos;)
        s.replace(at, key.size(), value);
    return s;
}

// Nodes under the test's own /dev: b block device, c character device, f
// regular file. Every mount fails, so each handled partition is one mount line.
TEST(Partitions, ScanOrderAndCounting)
{
    const std::string LONG(250, 'd');
    const struct { std::vector<std::string> nodes, want; } cases[] = {
        {{}, {}},
        {{"b:mmcblk0p1", "b:sda"}, {"mmcblk0p1"}},
        {{"b:mmcblk0", "b:sda1", "b:sda"}, {"mmcblk0", "sda1"}},
        {{"b:mmcblk0p3", "b:mmcblk0p5", "b:mmcblk0p6", "c:mmcblk0p1", "f:mmcblk0p2", "b:mmcblk0"},
         {"mmcblk0p3", "mmcblk0p5"}},
        {{"b:sda5", "b:discs/.hidden/part1", "b:discs/disc0/part1", "b:discs/disc0/part12",
          "b:discs/disc0/partx", "b:discs/disc0/part", "c:discs/disc0/part2", "b:discs/part3",
          "b:discs/" + LONG + "/part9"},
         {"sda5", "discs/" + LONG + "/part9", "discs/disc0/part1", "discs/disc0/part12"}},
    };
    ScratchDir root;
    const std::string dev = root.file("dev/");
    if (mknod(root.file("probe").c_str(), S_IFBLK | 0600, makedev(7, 200)) != 0)
        GTEST_SKIP() << "mknod is not permitted here";
    partition_dev_root = root.path.c_str();
    platform_fake_fail_mount = true;
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        std::filesystem::remove_all(dev);
        std::string want, lines;
        for (const std::string &n : c.nodes) {
            std::filesystem::create_directories(std::filesystem::path(dev + n.substr(2)).parent_path());
            mode_t type = n[0] == 'b' ? S_IFBLK : n[0] == 'c' ? S_IFCHR : S_IFREG;
            ASSERT_EQ(mknod((dev + n.substr(2)).c_str(), type | 0600, makedev(7, 200)), 0);
        }
        for (const std::string &d : c.want)
            want += "mount " + dev + d + " /tmp/mnt vfat 0 -\n", lines += "mount: No such device\n";
        platform_fake_log.clear();
        testing::internal::CaptureStderr();
        EXPECT_EQ(CheckLocalPartitions(), static_cast<int>(c.want.size()));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), lines);
        EXPECT_EQ(discsSorted(platform_fake_log), discsSorted(want));
    }
    partition_dev_root = "";
    platform_fake_fail_mount = false;
}

// marker: its length (-1: none) and the one byte set to 1 (-1: none). A
// package file is named with -i; {M} is the mount directory given with -m,
// {D} the device. Verbose but in the quiet row.
TEST(Partitions, MarkerPackageAndRepair)
{
    const std::string CLEAN = "mount {D} {M} vfat 0 -\numount {M}\n", CHECK = "Check partition {D} ....\n";
    const std::string CLEANUP = "system rm -f {M}/fsck*.*; rm -f {M}/FSCK*.*\numount {M}\n";
    const std::string REPAIR = CLEAN + "system dosfsck -av {D} \nmount {D} {M} vfat 0 -\n" + CLEANUP;
    const std::string BAD = "fs need be checked.\npartition seems not cleaned\n";
    const struct { int marker_len, marker_set, open_errno, read_errno; const char *package; std::string out, err, calls; int want; } cases[] = {
        {-1, -1, 0, 0, "", "", CHECK + "open .recording:: No such file or directory\n", CLEAN, 0},
        {0, -1, 0, 0, "", "", CHECK, CLEAN, 0},
        {200, 1, 0, 0, "", "", CHECK, CLEAN, 0},
        {200, 64, 0, 0, "", BAD, CHECK, REPAIR, 3},
        {200, 64, EIO, 0, "", "", CHECK, CLEAN, 5},
        {200, 64, 0, EIO, "", "", CHECK, CLEAN, 5},
        {0, -1, 0, EINVAL, "", "partition seems not cleaned\n", CHECK, REPAIR, 3},
        {0, -1, EROFS, 0, "quiet", "", CHECK + "open .recording:: Read-only file system\n", REPAIR, 3},
        {1, 0, 0, 0, "busy", BAD, CHECK + "umount: Device or resource busy\n", "mount {D} {M} vfat 0 -\numount {M}\n" + CLEANUP, 3},
        {0, -1, 0, 0, "ipcam/", "", CHECK, CLEAN, 0},
        {0, -1, 0, 0, "sub/pkg", "", "Update from {M}/sub/pkg ...\nError or unmatched package file.\n\n" + CHECK, CLEAN, 0},
        {1, 0, 0, 0, "a card", BAD, CHECK, "mount {D} {M} vfat 0 -\numount {M}\nsystem dosfsck -av '{D}' \n"
         "mount {D} {M} vfat 0 -\nsystem rm -f '{M}'/fsck*.*; rm -f '{M}'/FSCK*.*\numount {M}\n", 3},
    };
    ScratchDir scratch;
    identifier = 0;
    platform_fake_system_status = 3;
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::string pkg = c.package, spaces = pkg == "a card" ? " " : "";
        const std::string dir = scratch.file(std::string(200, 'm') + spaces), device = "/dev/discs/a" + spaces + "b/part1";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir + "/" + (pkg == "ipcam/" ? pkg : ""));
        if (c.marker_len >= 0) {
            std::string marker(c.marker_len, '\0');
            if (c.marker_set >= 0)
                marker[c.marker_set] = 1;
            WriteFile(dir + "/.recording", marker);
        }
        if (pkg == "sub/pkg") {
            std::filesystem::create_directories(dir + "/sub");
            WriteFile(dir + "/" + pkg, "not a package");
        }
        mount_dir = dir.c_str();
        image_path = pkg == "sub/pkg" ? c.package : nullptr;
        verbose = pkg != "quiet";
        marker_open_errno = c.open_errno, marker_read_errno = c.read_errno;
        platform_fake_fail_umount = pkg == "busy";
        platform_fake_log.clear();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = handleLocalPartition(device.c_str());
        std::string err = testing::internal::GetCapturedStderr(), out = testing::internal::GetCapturedStdout();
        auto expand = [&](const std::string &s) { return replaced(replaced(s, "{M}", dir), "{D}", device); };
        EXPECT_EQ(result, c.want);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, expand(c.err));
        EXPECT_EQ(platform_fake_log, expand(c.calls));
    }
    mount_dir = image_path = nullptr;
    identifier = IDENT_VERIFY_ONLY;
    verbose = marker_open_errno = marker_read_errno = platform_fake_system_status = platform_fake_fail_umount = 0;
}

}  // namespace
