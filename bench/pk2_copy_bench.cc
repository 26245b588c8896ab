// The least an installer must do with a package of one FILE entry: read
// the data in pieces of 8192 bytes, descramble, digest and write them,
// flushing and syncing the target every 65536 bytes and at its end. The
// benchmark sets pk2update's install time against this loop's. The loop
// is made no slower than it need be: 64 KiB stream buffers (one system
// call per 64 KiB each way) and descrambling a word at a time.
//
//   pk2_copy_bench PACKAGE TARGET
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "md5.h"

static const unsigned char KEY[8] = {0x5C, 0x19, 0xE2, 0x07, 0x9D, 0x6A, 0xF0, 0x3B};

static char in_buffer[65536], out_buffer[65536];

static void descramble(unsigned char *buf, uint32_t size)
{
    uint64_t key;
    memcpy(&key, KEY, sizeof key);
    uint32_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        memcpy(&word, buf + i, sizeof word);
        word ^= key;
        memcpy(buf + i, &word, sizeof word);
    }
    for (; i < size; i++)
        buf[i] ^= KEY[i % 8];
}

static uint32_t le32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

// Reads the header, the entry header and the FILE fields; leaves the
// stream at the first data byte.
static bool readFileEntry(FILE *in, unsigned char md5[16], uint32_t *data_length, MD5_CTX *ctx)
{
    unsigned char head[28 + 24 + 4];
    if (fread(head, 1, sizeof head, in) != sizeof head || memcmp(head + 28, "FILE", 4) != 0)
        return false;
    memcpy(md5, head + 32, 16);
    uint32_t name_length = le32(head + 52);
    unsigned char name[256 + 4];
    if (name_length > 256 || fread(name, 1, name_length + 4, in) != name_length + 4)
        return false;
    MD5_Update(ctx, head + 52, 4);
    MD5_Update(ctx, name, name_length + 4);
    *data_length = le32(name + name_length);
    return true;
}

static bool copyData(FILE *in, FILE *out, uint32_t data_length, MD5_CTX *ctx)
{
    unsigned char buf[8192];
    uint32_t written = 0;
    while (written < data_length) {
        uint32_t want = data_length - written < sizeof buf ? data_length - written : sizeof buf;
        if (fread(buf, 1, want, in) != want)
            return false;
        descramble(buf, want);
        MD5_Update(ctx, buf, want);
        if (fwrite(buf, 1, want, out) != want)
            return false;
        written += want;
        if ((written & 0xFFFF) == 0 && (fflush(out) != 0 || fsync(fileno(out)) != 0))
            return false;
    }
    return fflush(out) == 0 && fsync(fileno(out)) == 0;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s PACKAGE TARGET\n", argv[0]);
        return 2;
    }
    FILE *in = fopen(argv[1], "rb");
    FILE *out = fopen(argv[2], "wb");
    if (!in || !out) {
        perror("fopen");
        return 1;
    }
    setvbuf(in, in_buffer, _IOFBF, sizeof in_buffer);
    setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);
    MD5_CTX ctx;
    MD5_Init(&ctx);
    unsigned char want[16], got[16];
    uint32_t data_length = 0;
    bool ok = readFileEntry(in, want, &data_length, &ctx) && copyData(in, out, data_length, &ctx);
    MD5_Final(got, &ctx);
    ok = fclose(out) == 0 && ok;
    fclose(in);
    if (!ok || memcmp(want, got, 16) != 0) {
        fprintf(stderr, "%s: copy failed or digest differs\n", argv[0]);
        return 1;
    }
    return 0;
}
