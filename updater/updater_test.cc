// The updater in-process: package reader and installer, bookkeeping, partition marker.
#include <errno.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "partition.h"
#include "pk2.h"
#include "pk2pack.h"
#include "platform_fake.h"
#include "settings.h"
#include "update.h"

// Logs the synced file's size (a sync before its flush shows); fails with fsync_errno.
static std::vector<long long> fsync_log;
static int fsync_errno;

extern "C" int fsync(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0)
        fsync_log.push_back(st.st_size);
    errno = fsync_errno;
    return fsync_errno ? -1 : (int)syscall(SYS_fsync, fd);
}

namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string pattern(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++)
        s[i] = static_cast<char>((i + size) * 2654435761u >> 13);
    return s;
}

std::string pkg(std::vector<PackEntry> entries, uint32_t pubtime = 0x5F00AB, uint32_t flags = 0)
{
    return PackBuild({.ident = 7, .pubtime = pubtime, .flags = flags, .entries = entries});
}

class Pk2 : public testing::Test {
protected:
    char scratch[32] = "/tmp/updater_test.XXXXXX";
    std::string dir = std::string(mkdtemp(scratch)) + "/";
    std::string out, err;  // of the last run
    ~Pk2() override
    {
        fs::remove_all(dir);
        verbose = remove_after_process = reboot_after_process = fsync_errno = 0;
        inifile = mount_dir = image_path = nullptr;
        identifier = IDENT_VERIFY_ONLY;
    }
    // Stores the package as p.pk2 and calls exec_pk2, or call.
    int run(const std::string &bytes, uint32_t ident, std::function<int()> call = nullptr)
    {
        PackWriteBytes(dir + "p.pk2", bytes);
        fflush(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = call ? call() : exec_pk2((dir + "p.pk2").c_str(), ident, nullptr);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return rc;
    }
};

// Spoilt packages carry out nothing; a failed write or sync breaks off (EINVAL, EROFS: none).
TEST_F(Pk2, RefusedOrBrokenOff)
{
    using Spoil = std::function<void(PackEntry &)>;
    auto tailed = [&](PackEntry last, Spoil spoil) {
        spoil(last);
        return pkg({PackFile(dir + "first", "1"), PackCmd("echo ran >> " + dir + "log"), last});
    };
    auto file = [&](Spoil spoil) { return tailed(PackFile(dir + "last", "data"), spoil); };
    auto named = [&](std::string n) { return file([n](PackEntry &e) { e.name = n; }); };
    auto cmd = [&](auto d) { return tailed(PackCmd("true"), [d](PackEntry &e) { e.data = d; }); };
    const std::string sound = file([](PackEntry &) {});
    // 257 bytes whose last would alias data_length's low byte (4) if read past the name
    const std::string long_name = dir + "last" + std::string(252 - dir.size(), '\0') + '\4';
    auto writes = [&](const std::string &target, size_t size) {
        return pkg({PackFile(target, pattern(size)), PackCmd("echo > " + dir + "log")});
    };
    const std::string UNMATCHED = "Error or unmatched package file.\n\n";
    const std::string FULL = "Can't write target file: /dev/full\n";
    const std::string T = dir + "t", T_FAILED = "Can't write target file: " + T + "\n";
    struct Row { std::string bytes; uint32_t ident = 0; int rc = -2;
        std::string err = "verify pk2 failed.\n"; int sync_errno = 0; };
    const Row cases[] = {
        {sound.substr(0, 27), 0, -1, UNMATCHED}, {"PK2X" + sound.substr(4), 0, -1, UNMATCHED},
        {file([](PackEntry &e) { e.md5 = PackDigest{}; }), 0}, {sound + '\0'},
        {sound.substr(0, 24) + '\4' + sound.substr(25)}, {sound.substr(0, sound.size() - 1)},
        {file([](PackEntry &e) { e.length = *e.length + 1; })},
        {named("")}, {named("abc")}, {named(long_name)}, {named(std::string("\0a\0", 3))},
        {cmd("")}, {cmd("true")}, {cmd(std::string(8192, ' ') + '\0')},
        {tailed(PackRaw("XYZW", "abc"), [](PackEntry &e) { e.length = 100; })},
        {writes("/dev/full", 10), 7, -1, FULL}, {writes("/dev/full", 70000), 7, -1, FULL},
        {writes("/dev/null", 70000), 7, 0, ""}, {writes(T, 1), 7, -1, T_FAILED, EIO},
        {writes(T, 1), 7, 0, "", EINVAL}, {writes(T, 1), 7, 0, "", EROFS},
        {writes("/dev/null/t", 1), 7, -2, "Cann't create target file: /dev/null/t\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        fsync_errno = c.sync_errno;
        for (uint32_t ident : {c.ident, c.ident ? c.ident : IDENT_VERIFY_ONLY}) {
            EXPECT_EQ(run(c.bytes, ident), c.rc);
            EXPECT_EQ(out + err, c.rc ? c.err : "PUBTIME: 0x5F00AB\n");
        }
        EXPECT_FALSE(fs::exists(dir + "first"));
        EXPECT_EQ(fs::remove(dir + "log"), c.rc == 0);
        EXPECT_TRUE(c.sync_errno == 0 || slurp(T) == pattern(1));
    }
}

// Sizes around the buffer come out whole, synced every 64 KiB and at the end; other types skipped.
TEST_F(Pk2, InstallsInOrder)
{
    const std::string log = dir + "log";
    PackEntry other = PackRaw("XYZW", "g");
    other.md5 = PackDigest{};
    std::vector<PackEntry> entries = {PackFile(dir + "new/tree/f", "f"), other,
        PackRaw("CMD ", "echo bad >> " + log), PackCmd("exit 3")};
    std::vector<long long> want = {1};
    const size_t sizes[] = {0, 7, 9, 8192, 8193, 65535, 65536, 65537, 0x1000001};
    for (size_t size : sizes) {
        entries.push_back(PackFile(dir + std::to_string(size), pattern(size)));
        for (size_t at = 65536; at <= size; at += 65536)
            want.push_back(at);
        want.push_back(size);
    }
    entries.push_back(PackCmd("readlink /proc/$$/fd/* | grep '[.]pk2$' >> " + log));
    PackWriteBytes(dir + "0", "stale content");
    fsync_log.clear();
    mode_t mask = umask(0);
    EXPECT_EQ(run(pkg(entries), 7), 0);
    umask(mask);
    EXPECT_EQ(fsync_log, want);
    for (size_t size : sizes)
        EXPECT_TRUE(slurp(dir + std::to_string(size)) == pattern(size)) << size;
    EXPECT_EQ(fs::status(dir + "new/tree").permissions(), fs::perms(0755));
    EXPECT_EQ(slurp(log), "");
    const std::string beyond = dir + std::string(255 - dir.size(), 'b') + "/t";
    EXPECT_EQ(fopenex(beyond.c_str(), "wb"), nullptr);
    EXPECT_FALSE(fs::exists(beyond.substr(0, 255)));
}

// The record in the profile (after null: as before). opts: r remove, b restart, x a bad digest.
TEST_F(Pk2, UpdateBookkeeping)
{
    struct Row { const char *opts, *before; uint32_t pubtime, flags; int want; const char *after; };
    const Row cases[] = {
        {"rb", "[updimg]\npubtime=0x10\n", 0x10, 0, -1, nullptr},
        {"", ";\n[net]\n", 0xFFFFFFFF, 0, 0, ";\n[net]\n[updimg]\npubtime = 0xFFFFFFFF\n"},
        {"", "[updimg]\npubtime=17\n", 0x20, 1, 0, "[updimg]\npubtime=0x11\n"},
        {"", "[updimg]\npubtime=5\n", 0, 0, 0, nullptr},
        {"rbx", "[updimg]\npubtime=5\n", 0x20, 0, -2, nullptr},
        {"rb", "[updimg]\npubtime=5\n", 0x20, 0, 0, "[updimg]\npubtime=0x20\n"},
        {"", "[updimg]\npubtime=-2\n", 0xFFFFFFFF, 0, 0, "[updimg]\npubtime=0xFFFFFFFF\n"},
    };
    const std::string target = dir + "installed", ini = dir + "p.ini", package = dir + "p.pk2";
    identifier = 7;
    inifile = ini.c_str();
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        PackEntry entry = PackFile(target, "new\n");
        entry.md5 = strchr(c.opts, 'x') ? PackDigest{} : entry.md5;
        PackWriteBytes(ini, c.before);
        remove_after_process = strchr(c.opts, 'r') != nullptr;
        reboot_after_process = strchr(c.opts, 'b') != nullptr;
        platform_fake_log.clear();
        const int rc = run(pkg({entry}, c.pubtime, c.flags), 0,
            [&] { return updateFromPk2(package.c_str()); });
        const char *why[] = {"", "Ignore image.\n", "verify pk2 failed.\n"};
        EXPECT_EQ(rc, c.want);
        EXPECT_EQ(err, "Update from " + package + " ...\n" + why[-c.want]);
        EXPECT_EQ(out.empty(), c.want != 0);
        EXPECT_EQ(fs::remove(target), c.want == 0);
        EXPECT_EQ(fs::exists(package), !remove_after_process);
        EXPECT_EQ(slurp(ini), c.after ? c.after : c.before);
        const bool rebooted = c.want == 0 && reboot_after_process;
        EXPECT_EQ(platform_fake_log, rebooted ? "sync\nreboot 19088743\n" : "");
    }
}

// The marker's length (-1: none), its byte set to 1 (-1: none); names: quiet, busy, -i's package.
TEST_F(Pk2, PartitionMarkerPackageAndRepair)
{
    const std::string M = dir + std::string(200, 'm'), D = "/dev/discs/ab/part1";
    const std::string MOUNT = "mount " + D + " " + M + " vfat 0 -\n", UMOUNT = "umount " + M + "\n";
    const std::string CLEAN = MOUNT + UMOUNT, CHECK = "Check partition " + D + " ....\n";
    const std::string CLEANUP
        = "system rm -f " + M + "/fsck*.*; rm -f " + M + "/FSCK*.*\n" + UMOUNT;
    const std::string REPAIR = CLEAN + "system dosfsck -av " + D + " \n" + MOUNT + CLEANUP;
    const std::string BAD = "fs need be checked.\npartition seems not cleaned\n";
    struct Row { int len, set; std::string name, out, err, calls; int want; };
    const Row cases[] = {
        {-1, -1, "", "", CHECK + "open .recording:: No such file or directory\n", CLEAN, 0},
        {0, -1, "", "", CHECK, CLEAN, 0}, {200, 1, "", "", CHECK, CLEAN, 0},
        {200, 64, "", BAD, CHECK, REPAIR, 3}, {200, 64, "quiet", "", CHECK, REPAIR, 3},
        {1, 0, "busy", BAD, CHECK + "umount: Device or resource busy\n", CLEAN + CLEANUP, 3},
        {0, -1, "sub/pkg", "",
            "Update from " + M + "/sub/pkg ...\nError or unmatched package file.\n\n" + CHECK,
            CLEAN, 0},
    };
    identifier = 0;
    platform_fake_system_status = 3;
    mount_dir = M.c_str();
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        fs::remove_all(M);
        fs::create_directories(M + "/sub");
        std::string marker(c.len + 2, '\0');  // byte 0 stands for none set
        marker[c.set + 1] = 1;
        if (c.len >= 0)
            PackWriteBytes(M + "/.recording", marker.substr(1, c.len));
        PackWriteBytes(M + "/sub/pkg", "not a package");
        image_path = c.name == "sub/pkg" ? "sub/pkg" : nullptr;
        verbose = c.name != "quiet";
        platform_fake_fail_umount = c.name == "busy";
        platform_fake_log.clear();
        EXPECT_EQ(run("", 0, [&] { return handleLocalPartition(D.c_str()); }), c.want);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(platform_fake_log, c.calls);
    }
    platform_fake_system_status = 0;
    platform_fake_fail_umount = false;
}

}  // namespace
