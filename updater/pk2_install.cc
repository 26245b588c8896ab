// Offsets of packages over 2 GiB must work on a 32-bit device too.
#define _FILE_OFFSET_BITS 64

// Installation pass: writes the files and runs the commands of a package
// that has passed verification, in file order. Nothing is undone when the
// pass breaks off; the entries before stay installed.

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pk2.h"
#include "pk2_format.h"
#include "settings.h"

enum CopyResult { COPY_DONE, COPY_SHORT, COPY_WRITE_FAILED };

// EINVAL and EROFS from fsync mean the target (a character device such as
// /dev/mtdN) has nothing to sync; its data went out with the write.
static int syncTarget(FILE *target)
{
    if (fflush(target) != 0)
        return -1;
    if (fsync(fileno(target)) != 0 && errno != EINVAL && errno != EROFS)
        return -1;
    return 0;
}

static enum CopyResult copyData(FILE *pkg, unsigned char *work, uint32_t data_length,
                                FILE *target)
{
    uint32_t written = 0;
    while (written < data_length) {
        uint32_t left = data_length - written;
        size_t want = left < PK2_WORK_SIZE ? left : PK2_WORK_SIZE;
        size_t got = fread(work, 1, want, pkg);
        if (got == 0)
            return COPY_SHORT;
        pk2Descramble(work, got);
        if (fwrite(work, 1, got, target) != got)
            return COPY_WRITE_FAILED;
        written += (uint32_t)got;
        if ((written & PK2_SYNC_MASK) == 0 && syncTarget(target) != 0)
            return COPY_WRITE_FAILED;
    }
    return COPY_DONE;
}

static int installFile(FILE *pkg, const PackageEntryHeader *entry, unsigned char *work)
{
    Pk2FileFields fields;
    if (pk2ReadFileFields(pkg, entry, &fields) != 0)
        return -1;
    if (verbose)
        printf("Copy target file: %s\n", fields.name);
    FILE *target = fopenex(fields.name, "wb");
    if (!target) {
        fprintf(stderr, "Cann't create target file: %s\n", fields.name);
        return -2;
    }
    // One sync interval fits the buffer, so each 64 KiB goes out in one
    // write at its flush; a failed write still shows there and at the end.
    static char target_buffer[PK2_SYNC_MASK + 1];
    setvbuf(target, target_buffer, _IOFBF, sizeof target_buffer);
    enum CopyResult copied = copyData(pkg, work, fields.data_length, target);
    // The target is synced and closed whatever the copy did, so it keeps
    // all that was written.
    int kept = syncTarget(target);
    if (fclose(target) != 0)
        kept = -1;
    if (copied == COPY_WRITE_FAILED || kept != 0) {
        fprintf(stderr, "Can't write target file: %s\n", fields.name);
        return -1;
    }
    return copied == COPY_DONE ? 0 : -1;
}

static int runCommand(FILE *pkg, const PackageEntryHeader *entry, unsigned char *work)
{
    if (!pk2CmdLengthValid(entry->length))
        return -1;
    if (fread(work, 1, entry->length, pkg) != entry->length)
        return -1;
    pk2Descramble(work, entry->length);
    if (!memchr(work, '\0', entry->length))
        return -1;
    // Our own lines come before whatever the command prints.
    fflush(stdout);
    int status = system((const char *)work);
    (void)status;  // a failing command does not stop the installation
    if (verbose)
        printf("execute: %s", (const char *)work);
    return 0;
}

// fseeko takes a signed offset that may be 32 bits wide; an entry of up to
// 4 GiB is passed over in steps that fit.
static void skipPayload(FILE *pkg, uint32_t length)
{
    const uint32_t step = 0x40000000u;
    while (length > 0) {
        uint32_t n = length < step ? length : step;
        if (fseeko(pkg, (off_t)n, SEEK_CUR) != 0)
            return;
        length -= n;
    }
}

int pk2InstallEntries(FILE *pkg, const PackageHeader *header, unsigned char *work)
{
    for (uint32_t i = 0; i < header->entry_count; i++) {
        PackageEntryHeader entry;
        if (pk2ReadEntryHeader(pkg, &entry) != 0)
            return -1;
        int rc = 0;
        switch (pk2EntryType(&entry)) {
        case PK2_FILE:
            rc = installFile(pkg, &entry, work);
            break;
        case PK2_CMD:
            rc = runCommand(pkg, &entry, work);
            break;
        default:
            skipPayload(pkg, entry.length);
            break;
        }
        if (rc != 0)
            return rc;
    }
    return 0;
}
