// One partition: mount it, install its package, read its ".recording"
// marker and, when the file system was left unclean, check and clean it.
#include "partition.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "partition_text.h"
#include "platform.h"
#include "settings.h"
#include "update.h"

struct FsStrings {
    const char *fs_type;
    const char *format_cmd;
    const char *check_cmd;
};

// Every partition is taken for FAT: only the first row is used.
static const FsStrings fs_strings[] = {
    {"vfat", "mkdosfs -F 32", "dosfsck -av"},
    {"ext2", "mke2fs -r 0", "e2fsck -p"},
};

#define MARKER_CHUNK 64
#define MARKER_UNCLEAN (-1)

static const char *mountDir(void)
{
    return mount_dir ? mount_dir : "/tmp/mnt";
}

static int mountPartition(const char *device)
{
    return PlatformMount(device, mountDir(), fs_strings[0].fs_type, 0, NULL);
}

// The package counts only as a regular file (a directory of that name is
// no package).
static void installPackage(void)
{
    PartitionScopedText path(
        PartitionFormat("%s/%s", mountDir(), image_path ? image_path : "ipcam"));
    struct stat st;

    if (path.text && stat(path.text, &st) == 0 && S_ISREG(st.st_mode))
        updateFromPk2(path.text);
}

// A chunk that begins with a byte other than 0 marks the file system as
// unclean. Returns 0 (clean), EIO or MARKER_UNCLEAN.
static int readMarker(int fd)
{
    char chunk[MARKER_CHUNK];

    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0)
            return 0;
        if (got < 0)
            return errno == EIO ? EIO : MARKER_UNCLEAN;
        if (chunk[0] != 0) {
            if (verbose)
                puts("fs need be checked.");
            return MARKER_UNCLEAN;
        }
    }
}

// 0 (clean, or no marker to read), EIO or MARKER_UNCLEAN. An open refused
// with EROFS counts as unclean: the file system has gone read-only.
static int checkMarker(void)
{
    PartitionScopedText path(PartitionFormat("%s/.recording", mountDir()));
    int fd = path.text ? open(path.text, O_RDONLY | O_CLOEXEC) : -1;

    if (fd < 0) {
        int err = errno;
        if (err == EIO)
            return EIO;
        perror("open .recording:");
        return err == EROFS ? MARKER_UNCLEAN : 0;
    }
    int state = readMarker(fd);
    close(fd);
    return state;
}

static void runCheck(const char *device)
{
    PartitionScopedText word(PartitionShellWord(device));
    PartitionScopedText command(
        word.text ? PartitionFormat("%s %s ", fs_strings[0].check_cmd, word.text) : NULL);

    if (command.text)
        PlatformSystem(command.text);
}

// Removes the check's leftovers from the partition's root; the status
// system() gave.
static int runCleanup(void)
{
    PartitionScopedText dir(PartitionShellWord(mountDir()));
    PartitionScopedText command(
        dir.text ? PartitionFormat("rm -f %s/fsck*.*; rm -f %s/FSCK*.*", dir.text, dir.text)
                 : NULL);

    return command.text ? PlatformSystem(command.text) : -1;
}

// The check runs on the unmounted device. A partition that can't be
// unmounted (busy) is not checked: a repairing check under a mounted file
// system would corrupt it.
static int repairPartition(const char *device)
{
    if (verbose)
        puts("partition seems not cleaned");
    if (PlatformUmount(mountDir()) != 0) {
        perror("umount");
    } else {
        runCheck(device);
        mountPartition(device);
    }
    int status = runCleanup();
    PlatformUmount(mountDir());
    return status;
}

int handleLocalPartition(const char *device)
{
    if (mountPartition(device) != 0) {
        perror("mount");
        return -1;
    }
    installPackage();
    fprintf(stderr, "Check partition %s ....\n", device);
    int state = checkMarker();
    if (state == MARKER_UNCLEAN)
        return repairPartition(device);
    PlatformUmount(mountDir());
    return state;
}
