// Verification pass: every entry's digest and the exact end of the package,
// before anything is written.
#include <string.h>

#include "md5.h"
#include "pk2_format.h"

// Reads size bytes through the work buffer in pieces of at most
// PK2_WORK_SIZE. Every piece but the last is a multiple of 8 bytes, so the
// key index restarting at each piece is the position in the part modulo 8.
// ctx null: the bytes are passed over unread by the digest. nul_seen, when
// given, is set once a descrambled byte is NUL.
static int readPart(FILE *pkg, unsigned char *work, uint32_t size, MD5_CTX *ctx,
                    int *nul_seen)
{
    while (size > 0) {
        size_t want = size < PK2_WORK_SIZE ? size : PK2_WORK_SIZE;
        size_t got = fread(work, 1, want, pkg);
        if (got == 0)
            return -1;
        if (ctx) {
            pk2Descramble(work, got);
            MD5_Update(ctx, work, (uint32_t)got);
        }
        if (nul_seen && memchr(work, '\0', got))
            *nul_seen = 1;
        size -= (uint32_t)got;
    }
    return 0;
}

// Feeds the stored FILE fields to the digest exactly as they lie in the
// package: little-endian lengths around the name.
static void digestFileFields(MD5_CTX *ctx, const Pk2FileFields *fields)
{
    unsigned char raw[4];
    uint32_t lengths[2] = {fields->name_length, fields->data_length};
    for (int i = 0; i < 2; i++) {
        for (int b = 0; b < 4; b++)
            raw[b] = (unsigned char)(lengths[i] >> (8 * b));
        MD5_Update(ctx, raw, 4);
        if (i == 0)
            MD5_Update(ctx, (const unsigned char *)fields->name, fields->name_length);
    }
}

static int verifyFile(FILE *pkg, const PackageEntryHeader *entry, unsigned char *work,
                      MD5_CTX *ctx)
{
    Pk2FileFields fields;
    if (pk2ReadFileFields(pkg, entry, &fields) != 0)
        return -1;
    digestFileFields(ctx, &fields);
    return readPart(pkg, work, fields.data_length, ctx, NULL);
}

static int verifyCmd(FILE *pkg, const PackageEntryHeader *entry, unsigned char *work,
                     MD5_CTX *ctx)
{
    if (!pk2CmdLengthValid(entry->length))
        return -1;
    int nul_seen = 0;
    if (readPart(pkg, work, entry->length, ctx, &nul_seen) != 0)
        return -1;
    return nul_seen ? 0 : -1;
}

static int verifyEntry(FILE *pkg, unsigned char *work)
{
    PackageEntryHeader entry;
    if (pk2ReadEntryHeader(pkg, &entry) != 0)
        return -1;
    MD5_CTX ctx;
    MD5_Init(&ctx);
    int rc;
    switch (pk2EntryType(&entry)) {
    case PK2_FILE:
        rc = verifyFile(pkg, &entry, work, &ctx);
        break;
    case PK2_CMD:
        rc = verifyCmd(pkg, &entry, work, &ctx);
        break;
    default:
        // Read rather than sought over: a seek past the end would not
        // notice that the package is shorter than the entry says.
        return readPart(pkg, work, entry.length, NULL, NULL);
    }
    if (rc != 0)
        return -1;
    unsigned char digest[16];
    MD5_Final(digest, &ctx);
    return memcmp(digest, entry.md5, sizeof digest) == 0 ? 0 : -1;
}

int pk2VerifyEntries(FILE *pkg, const PackageHeader *header, unsigned char *work)
{
    for (uint32_t i = 0; i < header->entry_count; i++) {
        if (verifyEntry(pkg, work) != 0)
            return -2;
    }
    // The package must end right after its last entry; a read error here
    // proves nothing about the end, so it fails too.
    unsigned char extra;
    if (fread(&extra, 1, 1, pkg) != 0 || ferror(pkg))
        return -2;
    return 0;
}
