// Files of more than 2 GiB must open on a 32-bit device too.
#define _FILE_OFFSET_BITS 64

#include "digest.h"

#include <stdio.h>

#include "md5.h"

// The file is fed to the digest 4096 bytes at a time; a larger stdio
// buffer underneath keeps that from costing one system call per block.
static char stdio_buffer[64 * 1024];

struct ScopedFile {
    FILE *f;
    ~ScopedFile()
    {
        if (f)
            fclose(f);
    }
};

// Returns 0 with the digest of everything in f, -1 on a read error.
static int digest_stream(FILE *f, unsigned char digest[16])
{
    unsigned char block[4096];
    MD5_CTX ctx;
    size_t n;

    MD5_Init(&ctx);
    while ((n = fread(block, 1, sizeof(block), f)) > 0)
        MD5_Update(&ctx, block, (uint32_t)n);
    MD5_Final(digest, &ctx);
    return ferror(f) ? -1 : 0;
}

int printFileDigest(const char *path)
{
    ScopedFile file = {fopen(path, "rb")};
    unsigned char digest[16];
    int readable = 0;

    // A directory opens but fails on the first read: it is as unreadable
    // as a missing file and must not pass for empty input.
    if (file.f) {
        setvbuf(file.f, stdio_buffer, _IOFBF, sizeof(stdio_buffer));
        readable = digest_stream(file.f, digest) == 0;
    }
    if (!readable) {
        fprintf(stderr, "Can not open %s\n", path);
        return 3;
    }
    for (int i = 0; i < 16; i++)
        printf("%02x", digest[i]);
    printf(" %s\n", path);
    // A line-buffered stdout (musl's default) has already tried the write
    // and left only the error flag; fflush then has nothing to report.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("write");
        return 1;
    }
    return 0;
}
