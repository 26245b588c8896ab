// Names of dump files: overwritten ones, numbered ones and their rotation,
// and the opening of the first one that works.
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dump_internal.h"
#include "settings.h"

char *DumpFormat(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int len = vsnprintf(NULL, 0, fmt, ap);
    va_end(ap);
    if (len < 0)
        return NULL;
    char *text = (char *)malloc((size_t)len + 1);
    if (!text)
        return NULL;
    va_start(ap, fmt);
    int put = vsnprintf(text, (size_t)len + 1, fmt, ap);
    va_end(ap);
    if (put != len) {
        free(text);
        return NULL;
    }
    return text;
}

// Removes base.n; true when no file of that name is left afterwards.
static bool removeNumbered(const char *base, int n)
{
    ScopedText name(DumpFormat("%s.%d", base, n));
    if (!name.text)
        return false;
    remove(name.text);
    return access(name.text, F_OK) != 0;
}

// The numbered name to open for base: the first free number, after
// removing the next number so a gap follows the newest file. When every
// number below max_file is taken, base.0 is removed and reused; when it
// can't be removed the path is given up (null) rather than searched again.
static char *rotatedName(const char *base, int max_file)
{
    bool wrapped = false;
    int n = 0;
    for (;;) {
        char *name = DumpFormat("%s.%d", base, n);
        if (!name)
            return NULL;
        if (access(name, F_OK) != 0) {
            removeNumbered(base, n + 1);
            return name;
        }
        free(name);
        n++;
        if (n >= max_file) {
            if (wrapped || !removeNumbered(base, 0))
                return NULL;
            wrapped = true;
            n = 0;
        }
    }
}

// The intake only writes to a continuous file while its descriptor is
// above 0, so a file that got descriptor 0 (standard input closed) is
// moved up.
static int moveOffZero(int fd)
{
    if (fd != 0)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

// Dump paths may lie where others can write (/tmp), and the server runs as
// root: a planted link is never followed, and a FIFO or device neither
// blocks the opening nor takes the dump. Only a regular file is kept.
static int openRegular(const char *name)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Opens the dump file of one dump path; -1 when it can't be had.
static int openInPath(int i, int cont, int max_file)
{
    ScopedText base(cont ? DumpFormat("%s.cont", dump_out_paths[i])
                         : DumpFormat("%s", dump_out_paths[i]));
    if (!base.text)
        return -1;
    ScopedText numbered(dump_path_flag[i] ? NULL : rotatedName(base.text, max_file));
    const char *name = dump_path_flag[i] ? base.text : numbered.text;
    if (!name)
        return -1;
    // Close-on-exec: the commands of later dumps and of clients must not
    // hold the continuous file open.
    int fd = openRegular(name);
    if (fd < 0)
        return -1;
    fd = moveOffZero(fd);
    if (fd < 0)
        return -1;
    printf("dump log to %s...\n", name);
    fflush(stdout);
    return fd;
}

int DumpOpenFile(int cont, int max_file)
{
    for (int i = 0; i < n_dump_path && i < MAX_DUMP_PATHS; i++) {
        if (!dump_out_paths[i])
            continue;
        int fd = openInPath(i, cont, max_file);
        if (fd >= 0)
            return fd;
    }
    return -1;
}
