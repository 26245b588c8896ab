// The content of a dump file: configured files, the output of configured
// commands, then the loop buffer. Write results are not examined: a dump
// to a full or vanished medium just comes out short.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "dump.h"
#include "dump_internal.h"
#include "settings.h"

#define DUMP_BLOCK 4096

static const char LOG_HEADER[] =
    "\n---------------------------- Dump of log -----------------------------\n";

static void writeText(int fd, const char *text)
{
    if (write(fd, text, strlen(text)) < 0) {
        // ignored: the dump goes on with what the medium takes
    }
}

static void writeBytes(int fd, const void *bytes, size_t len)
{
    if (len > 0 && write(fd, bytes, len) < 0) {
        // ignored as above
    }
}

// Non-blocking: a FIFO or a device at a -a path gives what it holds now,
// and never stops the relay waiting for a writer or for more.
void dumpFile(const char *path, int fd)
{
    int in = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0)
        return;
    char *block = (char *)malloc(DUMP_BLOCK);
    ScopedText header(DumpFormat(
        "\n---------------------------- Dump of %s ---------------------------\n", path));
    if (block && header.text) {
        writeText(fd, header.text);
        for (;;) {
            ssize_t got = read(in, block, DUMP_BLOCK);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            writeBytes(fd, block, (size_t)got);
        }
    }
    free(block);
    close(in);
}

void dumpCmd(const char *cmd, int fd)
{
    FILE *out = popen(cmd, "r");
    if (!out)
        return;
    char *block = (char *)malloc(DUMP_BLOCK);
    ScopedText header(DumpFormat(
        "\n--------------------- dump of %s ----------------------------\n", cmd));
    if (block && header.text) {
        writeText(fd, header.text);
        for (;;) {
            size_t got = fread(block, 1, DUMP_BLOCK, out);
            writeBytes(fd, block, got);
            if (got > 0)
                continue;
            if (!ferror(out) || errno != EINTR)
                break;
            clearerr(out); // a dump request arrived; the command's output goes on
        }
    }
    free(block);
    pclose(out);
}

// The ring is written straight from its storage, oldest bytes first.
static void dumpLoopBuffer(int fd, const LoopBuffer *lb)
{
    if (!lb || !lb->mem)
        return;
    LoopBufferSegment seg[2];
    int n = LoopBufferGetPtr(lb, seg);
    for (int i = 0; i < n && i < 2; i++)
        writeBytes(fd, seg[i].addr, seg[i].len);
}

void DumpWriteContent(int fd, const LoopBuffer *lb)
{
    for (int i = 0; i < n_copy_file && i < MAX_COPY_FILES; i++)
        if (copy_files[i])
            dumpFile(copy_files[i], fd);
    for (int i = 0; i < n_dump_cmd && i < MAX_DUMP_CMDS; i++)
        if (dump_cmds[i])
            dumpCmd(dump_cmds[i], fd);
    writeBytes(fd, LOG_HEADER, sizeof LOG_HEADER - 1);
    dumpLoopBuffer(fd, lb);
}
