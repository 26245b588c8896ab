#include "partition.h"

#include <gtest/gtest.h>

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
#include <string>
#include <vector>

#include "platform_fake.h"
#include "settings.h"

// Take the place of the C library's open and read for the whole test
// program, so that the marker can fail as a broken card makes it fail.
static int marker_open_errno, marker_read_errno, marker_fd = -1;

extern "C" int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    bool marker = std::string_view(path).ends_with("/.recording");
    if (marker && marker_open_errno) {
        errno = marker_open_errno;
        return -1;
    }
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
    marker_fd = marker ? fd : marker_fd;
    return fd;
}

extern "C" ssize_t read(int fd, void *buf, size_t len)
{
    if (fd == marker_fd && marker_read_errno) {
        errno = marker_read_errno;
        return -1;
    }
    return syscall(SYS_read, fd, buf, len);
}

namespace {

namespace fs = std::filesystem;

std::string joined(const std::vector<std::string> &calls)
{
    std::string s;
    for (const std::string &c : calls)
        s += (s.empty() ? "" : "|") + c;
    return s;
}

TEST(CheckLocalPartitions, ScanOrderAndCounting)
{
    // Nodes under the test's own /dev: b block device, c character device,
    // f regular file. Every mount fails, so each handled partition is one
    // mount on "/tmp/mnt" and one "mount" line. Handled "/dev/discs"
    // partitions come in directory order, so they are compared sorted.
    const std::string LONG(250, 'd');
    struct Case { const char *name; std::vector<std::string> nodes, want; };
    const Case cases[] = {
        {"no device at all", {}, {}},
        {"p1, and no bare sda", {"b:mmcblk0p1", "b:sda"}, {"mmcblk0p1"}},
        {"bare mmcblk0, sda1, no bare sda", {"b:mmcblk0", "b:sda1", "b:sda"}, {"mmcblk0", "sda1"}},
        {"p3 and p5 alone, never p6, block devices only",
         {"b:mmcblk0p3", "b:mmcblk0p5", "b:mmcblk0p6", "c:mmcblk0p1", "f:mmcblk0p2", "b:mmcblk0"},
         {"mmcblk0p3", "mmcblk0p5"}},
        {"discs: partN of directories only, no hidden ones, long names whole",
         {"b:sda5", "b:discs/.hidden/part1", "b:discs/disc0/part1", "b:discs/disc0/part12",
          "b:discs/disc0/partx", "b:discs/disc0/part", "b:discs/disc0/disc", "c:discs/disc0/part2",
          "b:discs/part3", "b:discs/" + LONG + "/part9"},
         {"sda5", "discs/" + LONG + "/part9", "discs/disc0/part1", "discs/disc0/part12"}},
    };
    char tmpl[] = "/tmp/partition_test.XXXXXX";
    const std::string root = mkdtemp(tmpl), dev = root + "/dev/";
    if (mknod((root + "/probe").c_str(), S_IFBLK | 0600, makedev(7, 200)) != 0) {
        fs::remove_all(root);
        GTEST_SKIP() << "mknod is not permitted here";
    }
    partition_dev_root = root.c_str();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dev);
        std::vector<std::string> want;
        for (const std::string &n : c.nodes) {
            fs::create_directories(fs::path(dev + n.substr(2)).parent_path());
            mode_t type = n[0] == 'b' ? S_IFBLK : n[0] == 'c' ? S_IFCHR : S_IFREG;
            ASSERT_EQ(mknod((dev + n.substr(2)).c_str(), type | 0600, makedev(7, 200)), 0);
        }
        for (const std::string &d : c.want)
            want.push_back("mount " + dev + d + " /tmp/mnt vfat 0 -");
        PlatformFakeReset();
        platform_fake_mount_result = -1;

        testing::internal::CaptureStderr();
        int count = CheckLocalPartitions();
        std::string err = testing::internal::GetCapturedStderr();

        std::vector<std::string> &calls = platform_fake_calls;
        std::sort(std::find_if(calls.begin(), calls.end(),
                               [](const std::string &s) { return s.find("/discs/") != s.npos; }),
                  calls.end());
        EXPECT_EQ(calls, want);
        EXPECT_EQ(count, static_cast<int>(want.size()));
        std::string lines;
        for (size_t i = 0; i < want.size(); i++)
            lines += "mount: No such device\n";
        EXPECT_EQ(err, lines);
    }
    partition_dev_root = "";
    fs::remove_all(root);
}

TEST(HandleLocalPartition, MarkerPackageAndRepair)
{
    // marker: its length (-1: none) and the one byte set to 1 (-1: none).
    // package: a file, or a directory when it ends with "/"; a file is
    // named with -i. In the texts, {M} is the mount directory given with
    // -m (200 characters) and {D} the device. Verbose but where "quiet".
    const std::string CLEAN = "mount {D} {M} vfat 0 -|umount {M}";
    const std::string CLEANUP = "system rm -f {M}/fsck*.*; rm -f {M}/FSCK*.*|umount {M}";
    const std::string REPAIR = CLEAN + "|system dosfsck -av {D} |mount {D} {M} vfat 0 -|" + CLEANUP;
    const std::string CHECK = "Check partition {D} ....\n", BAD = "fs need be checked.\n";
    const std::string NOT_CLEANED = "partition seems not cleaned\n";
    struct Case {
        const char *name;
        int marker_len, marker_set, open_errno, read_errno;
        const char *package;
        std::string out, err, calls;
        int want;
    };
    const Case cases[] = {
        {"no marker", -1, -1, 0, 0, "", "",
         CHECK + "open .recording:: No such file or directory\n", CLEAN, 0},
        {"empty marker", 0, -1, 0, 0, "", "", CHECK, CLEAN, 0},
        {"only byte 1 set", 200, 1, 0, 0, "", "", CHECK, CLEAN, 0},
        {"byte 64 begins the second chunk", 200, 64, 0, 0, "", BAD + NOT_CLEANED, CHECK, REPAIR, 3},
        {"EIO on open", 200, 64, EIO, 0, "", "", CHECK, CLEAN, 5},
        {"EIO on read", 200, 64, 0, EIO, "", "", CHECK, CLEAN, 5},
        {"other read error", 0, -1, 0, EINVAL, "", NOT_CLEANED, CHECK, REPAIR, 3},
        {"EROFS on open, quiet", 0, -1, EROFS, 0, "", "",
         CHECK + "open .recording:: Read-only file system\n", REPAIR, 3},
        {"busy: not checked", 1, 0, 0, 0, "", BAD + NOT_CLEANED,
         CHECK + "umount: Device or resource busy\n", "mount {D} {M} vfat 0 -|umount {M}|" + CLEANUP, 3},
        {"a directory named ipcam", 0, -1, 0, 0, "ipcam/", "", CHECK, CLEAN, 0},
        {"the package from -i", 0, -1, 0, 0, "sub/pkg", "",
         "Update from {M}/sub/pkg ...\nError or unmatched package file.\n\n" + CHECK, CLEAN, 0},
        {"spaces quoted", 1, 0, 0, 0, "", BAD + NOT_CLEANED, CHECK,
         "mount {D} {M} vfat 0 -|umount {M}|system dosfsck -av '{D}' |mount {D} {M} vfat 0 -|"
         "system rm -f '{M}'/fsck*.*; rm -f '{M}'/FSCK*.*|umount {M}", 3},
    };
    char tmpl[] = "/tmp/partition_test.XXXXXX";
    const std::string scratch = mkdtemp(tmpl);
    identifier = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bool spaces = c.name[0] == 's';
        const std::string dir = scratch + (spaces ? "/a card" : "/" + std::string(200, 'm'));
        const std::string device = spaces ? "/dev/discs/a b/part1" : "/dev/mmcblk0p1";
        fs::remove_all(dir);
        fs::create_directories(dir + "/" + c.package);
        if (c.marker_len >= 0) {
            std::string marker(c.marker_len, '\0');
            if (c.marker_set >= 0)
                marker[c.marker_set] = 1;
            std::ofstream(dir + "/.recording", std::ios::binary) << marker;
        }
        bool file = c.package[0] && !std::string_view(c.package).ends_with("/");
        if (file) {
            fs::remove(dir + "/" + c.package);
            std::ofstream(dir + "/" + c.package) << "not a package";
        }
        mount_dir = dir.c_str();
        image_path = file ? c.package : nullptr;
        verbose = strstr(c.name, "quiet") == nullptr;
        marker_open_errno = c.open_errno;
        marker_read_errno = c.read_errno;
        PlatformFakeReset();
        platform_fake_umount_result = strstr(c.name, "busy") ? -1 : 0;
        platform_fake_system_result = 3;

        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = handleLocalPartition(device.c_str());
        std::string err = testing::internal::GetCapturedStderr();
        std::string out = testing::internal::GetCapturedStdout();

        auto expand = [&](std::string s) {
            for (auto [key, value] : {std::pair{"{M}", dir}, {"{D}", device}})
                for (size_t at; (at = s.find(key)) != std::string::npos;)
                    s.replace(at, 3, value);
            return s;
        };
        EXPECT_EQ(result, c.want);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, expand(c.err));
        EXPECT_EQ(joined(platform_fake_calls), expand(c.calls));
    }
    mount_dir = image_path = nullptr;
    identifier = IDENT_VERIFY_ONLY;
    verbose = marker_open_errno = marker_read_errno = 0;
    fs::remove_all(scratch);
}

}  // namespace
