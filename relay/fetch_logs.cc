// "fetchlogs": the files of the first dump path that has any, and the -a
// files that exist, go to the client as one gzip'd tar. The end of the
// archive is marked only by the close that follows.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "dump_internal.h"
#include "remote.h"
#include "settings.h"

#define ARCHIVE "/tmp/morvlog.tgz"
#define ARCHIVE_BLOCK 2048

static int runShell(const char *cmd)
{
    sigset_t saved;
    RelayUnblockDumpSignals(&saved);
    int status = system(cmd);
    sigprocmask(SIG_SETMASK, &saved, NULL);
    return status;
}

// The first dump path with a file whose name begins with it, or null.
static const char *chosenDumpPath(void)
{
    for (int i = 0; i < n_dump_path && i < MAX_DUMP_PATHS; i++) {
        if (!dump_out_paths[i])
            continue;
        ScopedText ls(DumpFormat("ls %s* > /dev/null", dump_out_paths[i]));
        if (ls.text && runShell(ls.text) == 0)
            return dump_out_paths[i];
    }
    return NULL;
}

// Sized to what it holds: long dump paths and ten long -a paths fit.
static char *archiveCommand(void)
{
    const char *path = chosenDumpPath();
    char *cmd = path ? DumpFormat("tar czf " ARCHIVE " %s*", path)
                     : DumpFormat("%s", "tar czf " ARCHIVE);
    for (int i = 0; cmd && i < n_copy_file && i < MAX_COPY_FILES; i++) {
        if (!copy_files[i] || access(copy_files[i], F_OK) != 0)
            continue;
        char *longer = DumpFormat("%s %s", cmd, copy_files[i]);
        free(cmd);
        cmd = longer;
    }
    return cmd;
}

// Stops at the first send that fails: the client has gone.
static void sendArchive(int fd)
{
    FILE *in = fopen(ARCHIVE, "rb");
    if (!in)
        return;
    char *block = (char *)malloc(ARCHIVE_BLOCK);
    size_t got;
    while (block && (got = fread(block, 1, ARCHIVE_BLOCK, in)) > 0)
        if (RelaySendAll(fd, block, got) != 0)
            break;
    free(block);
    fclose(in);
}

// A failed archive command leaves whatever it made for the next one to
// overwrite; nothing is sent then.
void RelayFetchLogs(int fd)
{
    ScopedText cmd(archiveCommand());
    if (!cmd.text || runShell(cmd.text) != 0 || access(ARCHIVE, F_OK) != 0)
        return;
    sendArchive(fd);
    unlink(ARCHIVE);
}
