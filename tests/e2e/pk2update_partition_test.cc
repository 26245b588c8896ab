// Runs the built pk2update's partition scan in a private mount namespace
// whose /dev is a tmpfs holding block-device nodes at the scan's paths. They
// name an unattached loop device, so every mount fails: the "mount" lines
// and the exit status show what was handled.
#include <gtest/gtest.h>

#include "e2e_util.h"

TEST(Pk2updatePartitions, ScanCountsWhatItHandles)
{
    int minor = 0;
    while (minor < 8 && ReadFile("/sys/block/loop" + std::to_string(minor) + "/size") != "0\n")
        minor++;
    if (minor == 8)
        GTEST_SKIP() << "no unattached loop device to name";
    // Handled: the bare mmcblk0 (its p1 is no block device), sda1 and disc0's
    // part1. Descriptor 3 keeps the program reachable once /tmp is covered,
    // and a clone under /tmp is bound back at its own path for what the
    // program reaches by name (an emulator's start script does). The second
    // run mounts on a missing directory named with -m.
    const char script[] =
        "exec 3<\"$0\" && mount -t tmpfs none /dev && cd /dev && mkdir -p discs/disc0"
        " && for n in mmcblk0 sda1 sda discs/disc0/part1 discs/disc0/partx; do mknod $n b 7 $1 || exit; done"
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
    const std::string first = r.err.substr(0, r.err.find('\n') + 1), missing = "mount: No such file or directory\n";
    EXPECT_EQ(first.rfind("mount: ", 0), 0u);
    EXPECT_NE(first, missing);
    EXPECT_EQ(r.err, first + first + first + "status 3\n" + missing + missing + missing + "status 3\n");
}
