// Finds the local storage partitions: the fixed SD card and USB disk
// devices first, then every partN under "/dev/discs".
#include "partition.h"

#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

#include "partition_text.h"

struct LocalDevice {
    const char *dev_path;
    const char *part_fmt;
    int first_part;
};

static const LocalDevice local_devices[] = {
    {"/dev/mmcblk0", "p%d", 1},
    {"/dev/sda", "%d", 1},
};

#define PARTS_PER_DEVICE 5
#define DISCS_DIR "/dev/discs"

const char *partition_dev_root = "";

static int isBlockDevice(const char *path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISBLK(st.st_mode);
}

// Handles path when it is a block device; 1 if it was handled.
static int handleIfBlock(const char *path)
{
    if (!isBlockDevice(path))
        return 0;
    handleLocalPartition(path);
    return 1;
}

// The device's partitions, each tried whether or not lower numbers exist;
// the bare device only while nothing at all has been handled (a card
// without a partition table). Returns the new count.
static int scanDevice(const LocalDevice *dev, int count)
{
    for (int i = 0; i < PARTS_PER_DEVICE; i++) {
        char part[16];  // the partition number and its prefix
        int n = snprintf(part, sizeof part, dev->part_fmt, dev->first_part + i);
        if (n < 0 || (size_t)n >= sizeof part)
            continue;
        PartitionScopedText device(
            PartitionFormat("%s%s%s", partition_dev_root, dev->dev_path, part));
        count += handleIfBlock(device.text);
    }
    if (count == 0) {
        PartitionScopedText bare(PartitionFormat("%s%s", partition_dev_root, dev->dev_path));
        count = handleIfBlock(bare.text);
    }
    return count;
}

static int isPartName(const char *name)
{
    return name[0] == 'p' && name[1] == 'a' && name[2] == 'r' && name[3] == 't' &&
           name[4] >= '0' && name[4] <= '9';
}

// The partN entries of one disc directory; how many were handled.
static int scanDisc(const char *discs, const char *disc)
{
    PartitionScopedText path(PartitionFormat("%s/%s", discs, disc));
    struct stat st;
    if (!path.text || stat(path.text, &st) != 0 || !S_ISDIR(st.st_mode))
        return 0;
    DIR *dir = opendir(path.text);
    if (!dir)
        return 0;
    int count = 0;
    for (struct dirent *e; (e = readdir(dir)) != NULL;) {
        if (!isPartName(e->d_name))
            continue;
        PartitionScopedText part(PartitionFormat("%s/%s/%s", discs, disc, e->d_name));
        count += handleIfBlock(part.text);
    }
    closedir(dir);
    return count;
}

// Every disc of "/dev/discs" in directory order; how many were handled.
static int scanDiscs(void)
{
    PartitionScopedText discs(PartitionFormat("%s%s", partition_dev_root, DISCS_DIR));
    DIR *dir = discs.text ? opendir(discs.text) : NULL;
    if (!dir)
        return 0;
    int count = 0;
    for (struct dirent *e; (e = readdir(dir)) != NULL;) {
        if (e->d_name[0] != '.')
            count += scanDisc(discs.text, e->d_name);
    }
    closedir(dir);
    return count;
}

int CheckLocalPartitions(void)
{
    int count = 0;
    for (const LocalDevice &dev : local_devices)
        count = scanDevice(&dev, count);
    return count + scanDiscs();
}
