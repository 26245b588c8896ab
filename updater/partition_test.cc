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
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    std::string p = path;
    bool marker = p.size() >= 11 && p.compare(p.size() - 11, 11, "/.recording") == 0;
    if (marker && marker_open_errno) {
        errno = marker_open_errno;
        return -1;
    }
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
    if (marker)
        marker_fd = fd;
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

std::string replaceAll(std::string s, const std::string &key, const std::string &value)
{
    for (size_t at; (at = s.find(key)) != std::string::npos;)
        s.replace(at, key.size(), value);
    return s;
}

struct Scratch {
    std::string path;
    Scratch()
    {
        char tmpl[] = "/tmp/partition_test.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~Scratch() { fs::remove_all(path); }
};

// Nodes are "b:path" (block device), "c:path" (character device),
// "f:path" (regular file) under the scratch root; directories come along.
bool makeNodes(const std::string &root, const std::vector<std::string> &nodes)
{
    for (const std::string &n : nodes) {
        std::string path = root + "/" + n.substr(2);
        fs::create_directories(fs::path(path).parent_path());
        mode_t type = n[0] == 'b' ? S_IFBLK : n[0] == 'c' ? S_IFCHR : S_IFREG;
        if (mknod(path.c_str(), type | 0600, makedev(7, 200)) != 0)
            return false;
    }
    return true;
}

TEST(CheckLocalPartitions, ScanOrderAndCounting)
{
    // Every mount fails, so each handled partition is one mount call and
    // one "mount" line; "/tmp/mnt" is the mount directory without -m.
    // Handled "/dev/discs" partitions are compared in sorted order.
    const std::string LONG(250, 'd');
    struct Case { const char *name; std::vector<std::string> nodes, want; };
    const Case cases[] = {
        {"no device at all", {}, {}},
        {"p1 present, bare sda not tried", {"b:mmcblk0p1", "b:sda"}, {"mmcblk0p1"}},
        {"bare mmcblk0, then sda1; bare sda not tried", {"b:mmcblk0", "b:sda1", "b:sda"},
         {"mmcblk0", "sda1"}},
        {"p3 and p5 without lower numbers, never p6, block devices only",
         {"b:mmcblk0p3", "b:mmcblk0p5", "b:mmcblk0p6", "c:mmcblk0p1", "f:mmcblk0p2", "b:mmcblk0"},
         {"mmcblk0p3", "mmcblk0p5"}},
        {"discs: hidden, non-directories and other names skipped; long names kept whole",
         {"b:sda5", "b:discs/.hidden/part1", "b:discs/disc0/part1", "b:discs/disc0/part12",
          "b:discs/disc0/partx", "b:discs/disc0/part", "b:discs/disc0/disc", "c:discs/disc0/part2", "b:discs/part3",
          "b:discs/" + LONG + "/part9"},
         {"sda5", "discs/" + LONG + "/part9", "discs/disc0/part1", "discs/disc0/part12"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch root;
        fs::create_directories(root.path + "/dev");
        if (!makeNodes(root.path + "/dev", c.nodes))
            GTEST_SKIP() << "mknod is not permitted here";
        partition_dev_root = root.path.c_str();
        PlatformFakeReset();
        platform_fake_mount_result = -1;

        testing::internal::CaptureStderr();
        int count = CheckLocalPartitions();
        std::string err = testing::internal::GetCapturedStderr();

        std::vector<std::string> want;
        for (const std::string &d : c.want)
            want.push_back("mount " + root.path + "/dev/" + d + " /tmp/mnt vfat 0 -");
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
}

TEST(HandleLocalPartition, MarkerPackageAndRepair)
{
    // marker: its length (-1: none) and the one byte set to 1 (-1: none).
    // In the texts {M} is the mount directory (-m) and {D} the device.
    // Each repair's clean-up command returns 3.
    const char *CLEAN = "mount {D} {M} vfat 0 -|umount {M}";
    const char *REPAIR = "mount {D} {M} vfat 0 -|umount {M}|system dosfsck -av {D} |"
                         "mount {D} {M} vfat 0 -|system rm -f {M}/fsck*.*; rm -f {M}/FSCK*.*|"
                         "umount {M}";
    const char *CHECK = "Check partition {D} ....\n";
    const char *DEV = "/dev/mmcblk0p1";
    struct Case {
        const char *name;
        int marker_len, marker_set, open_errno, read_errno, busy;
        const char *device, *package, *out, *err, *calls;
        int want;
    };
    const Case cases[] = {
        {"no marker", -1, -1, 0, 0, 0, DEV, "", "",
         "Check partition {D} ....\nopen .recording:: No such file or directory\n", CLEAN, 0},
        {"empty marker", 0, -1, 0, 0, 0, DEV, "", "", CHECK, CLEAN, 0},
        {"only byte 1 set is clean", 200, 1, 0, 0, 0, DEV, "", "", CHECK, CLEAN, 0},
        {"byte 64 begins the second chunk", 200, 64, 0, 0, 0, DEV, "",
         "fs need be checked.\npartition seems not cleaned\n", CHECK, REPAIR, 3},
        {"EIO on open", 200, 64, EIO, 0, 0, DEV, "", "", CHECK, CLEAN, 5},
        {"EIO on read", 200, 64, 0, EIO, 0, DEV, "", "", CHECK, CLEAN, 5},
        {"other read error repairs", 0, -1, 0, EINVAL, 0, DEV, "",
         "partition seems not cleaned\n", CHECK, REPAIR, 3},
        {"EROFS on open repairs", 0, -1, EROFS, 0, 0, DEV, "", "",
         "Check partition {D} ....\nopen .recording:: Read-only file system\n", REPAIR, 3},
        {"a busy partition is not checked", 1, 0, 0, 0, 1, DEV, "",
         "fs need be checked.\npartition seems not cleaned\n",
         "Check partition {D} ....\numount: Device or resource busy\n",
         "mount {D} {M} vfat 0 -|umount {M}|system rm -f {M}/fsck*.*; rm -f {M}/FSCK*.*|"
         "umount {M}", 3},
        {"a directory named ipcam is no package", 0, -1, 0, 0, 0, DEV, "d:ipcam", "", CHECK,
         CLEAN, 0},
        {"the package from -i", 0, -1, 0, 0, 0, DEV, "f:sub/pkg", "",
         "Update from {M}/sub/pkg ...\nError or unmatched package file.\n\n"
         "Check partition {D} ....\n", CLEAN, 0},
        {"names the shell would split are quoted", 1, 0, 0, 0, 0, "/dev/discs/a b/part1", "",
         "fs need be checked.\npartition seems not cleaned\n", CHECK,
         "mount {D} {M} vfat 0 -|umount {M}|system dosfsck -av '{D}' |"
         "mount {D} {M} vfat 0 -|system rm -f '{M}'/fsck*.*; rm -f '{M}'/FSCK*.*|umount {M}", 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        bool quoted = c.device[5] == 'd';
        const std::string dir = scratch.path + (quoted ? "/a card" : "/" + std::string(200, 'm'));
        fs::remove_all(dir);
        fs::create_directories(dir);
        if (c.marker_len >= 0) {
            std::string marker(c.marker_len, '\0');
            if (c.marker_set >= 0)
                marker[c.marker_set] = 1;
            std::ofstream(dir + "/.recording", std::ios::binary) << marker;
        }
        if (c.package[0] == 'd')
            fs::create_directories(dir + "/ipcam");
        if (c.package[0] == 'f') {
            fs::create_directories(dir + "/sub");
            std::ofstream(dir + "/sub/pkg") << "not a package";
        }
        mount_dir = dir.c_str();
        image_path = c.package[0] == 'f' ? "sub/pkg" : nullptr;
        identifier = 0;
        verbose = strcmp(c.name, "EROFS on open repairs") != 0;
        marker_open_errno = c.open_errno;
        marker_read_errno = c.read_errno;
        PlatformFakeReset();
        platform_fake_umount_result = -c.busy;
        platform_fake_system_result = 3;

        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = handleLocalPartition(c.device);
        std::string err = testing::internal::GetCapturedStderr();
        std::string out = testing::internal::GetCapturedStdout();

        auto expand = [&](const char *s) {
            return replaceAll(replaceAll(s, "{M}", dir), "{D}", c.device);
        };
        std::string calls;
        for (const std::string &call : platform_fake_calls)
            calls += (calls.empty() ? "" : "|") + call;
        EXPECT_EQ(result, c.want);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, expand(c.err));
        EXPECT_EQ(calls, expand(c.calls));
    }
    mount_dir = image_path = nullptr;
    identifier = IDENT_VERIFY_ONLY;
    verbose = 0;
    marker_open_errno = marker_read_errno = 0;
}

}  // namespace
