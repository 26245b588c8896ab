// The DUMPLOG marker: records the autodump setting in a dump path. The
// relay only writes it; other programs of the device read it.
#include <fcntl.h>
#include <unistd.h>

#include "dump.h"
#include "dump_internal.h"
#include "settings.h"

// Like a dump file, the marker is never made through a planted link, and
// a FIFO in its place does not block.
static bool createMarker(const char *path)
{
    int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

static bool removeMarker(const char *path)
{
    return access(path, F_OK) == 0 && unlink(path) == 0;
}

int set_autodump(int on)
{
    for (int i = 0; i < n_dump_path && i < MAX_DUMP_PATHS; i++) {
        if (!dump_out_paths[i])
            continue;
        ScopedText marker(DumpFormat("%s/DUMPLOG", dump_out_paths[i]));
        if (!marker.text)
            continue;
        if (on ? createMarker(marker.text) : removeMarker(marker.text))
            return 1;
    }
    return 0;
}
