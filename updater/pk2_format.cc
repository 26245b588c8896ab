#include "pk2_format.h"

#include <string.h>

const unsigned char xorstr[8] = {0x5C, 0x19, 0xE2, 0x07, 0x9D, 0x6A, 0xF0, 0x3B};

// Decodes byte by byte, so the result is the same on hosts of either order.
static uint32_t le32(const unsigned char *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}

static int readExact(FILE *pkg, void *buf, size_t size)
{
    return fread(buf, 1, size, pkg) == size ? 0 : -1;
}

static int readLe32(FILE *pkg, uint32_t *value)
{
    unsigned char raw[4];
    if (readExact(pkg, raw, sizeof raw) != 0)
        return -1;
    *value = le32(raw);
    return 0;
}

// XOR of whole 64-bit words is XOR of their bytes in memory order, so the
// key loaded by memcpy lines up with the data on any host. Groups of four
// words become vector instructions even at -O2; single words and bytes
// only take the tail of the last piece.
void pk2Descramble(unsigned char *buf, size_t size)
{
    uint64_t key;
    memcpy(&key, xorstr, sizeof key);
    size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        uint64_t w[4];
        memcpy(w, buf + i, sizeof w);
        w[0] ^= key;
        w[1] ^= key;
        w[2] ^= key;
        w[3] ^= key;
        memcpy(buf + i, w, sizeof w);
    }
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        memcpy(&word, buf + i, sizeof word);
        word ^= key;
        memcpy(buf + i, &word, sizeof word);
    }
    for (; i < size; i++)
        buf[i] ^= xorstr[i % 8];
}

int pk2ReadHeader(FILE *pkg, PackageHeader *header)
{
    unsigned char raw[PK2_HEADER_SIZE];
    if (readExact(pkg, raw, sizeof raw) != 0)
        return -1;
    memcpy(header->magic, raw, 4);
    header->ident = le32(raw + 4);
    header->pubtime = le32(raw + 8);
    header->reserved1 = le32(raw + 12);
    header->flags = le32(raw + 16);
    header->reserved2 = le32(raw + 20);
    header->entry_count = le32(raw + 24);
    return 0;
}

int pk2ReadEntryHeader(FILE *pkg, PackageEntryHeader *entry)
{
    unsigned char raw[PK2_ENTRY_HEADER_SIZE];
    if (readExact(pkg, raw, sizeof raw) != 0)
        return -1;
    memcpy(entry->type, raw, 4);
    memcpy(entry->md5, raw + 4, 16);
    entry->length = le32(raw + 20);
    return 0;
}

enum Pk2EntryType pk2EntryType(const PackageEntryHeader *entry)
{
    if (memcmp(entry->type, "FILE", 4) == 0)
        return PK2_FILE;
    if (memcmp(entry->type, "CMD", 4) == 0)  // the literal's NUL is the 4th byte
        return PK2_CMD;
    return PK2_OTHER;
}

int pk2ReadFileFields(FILE *pkg, const PackageEntryHeader *entry, Pk2FileFields *fields)
{
    if (readLe32(pkg, &fields->name_length) != 0)
        return -1;
    if (fields->name_length == 0 || fields->name_length > PK2_NAME_SIZE)
        return -1;
    if (readExact(pkg, fields->name, fields->name_length) != 0)
        return -1;
    // An empty path can name no target: refuse it before anything is written.
    if (fields->name[0] == '\0' || !memchr(fields->name, '\0', fields->name_length))
        return -1;
    if (readLe32(pkg, &fields->data_length) != 0)
        return -1;
    if (fields->data_length >= PK2_MAX_DATA)
        return -1;
    // 64-bit sum: a 32-bit one wraps and lets a huge data_length agree.
    uint64_t sum = (uint64_t)fields->name_length + fields->data_length + 8;
    return sum == entry->length ? 0 : -1;
}

int pk2CmdLengthValid(uint32_t length)
{
    return length > 0 && length <= PK2_WORK_SIZE;
}
