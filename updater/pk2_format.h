// The pk2 package layout and the reads shared by the verification and the
// installation pass. Every integer in a package is unsigned 32-bit
// little-endian; the records below hold the decoded values.
#ifndef UPDATER_PK2_FORMAT_H
#define UPDATER_PK2_FORMAT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define PK2_HEADER_SIZE 28
#define PK2_ENTRY_HEADER_SIZE 24
#define PK2_WORK_SIZE 8192       // work buffer; every read of entry data goes through it
#define PK2_NAME_SIZE 256        // target path, NUL included
#define PK2_SYNC_MASK 0xFFFFu    // targets are synced every 64 KiB written
#define PK2_MAX_DATA 0x80000000u // data_length and CMD length stay below this
#define PK2_FLAG_KEEP_PUBTIME 1u // flags bit 0: do not record pubtime

struct PackageHeader {
    unsigned char magic[4];  // "PK2" and a NUL
    uint32_t ident;
    uint32_t pubtime;
    uint32_t reserved1;
    uint32_t flags;
    uint32_t reserved2;
    uint32_t entry_count;
};

struct PackageEntryHeader {
    unsigned char type[4];   // "FILE", "CMD" and a NUL, or anything else
    unsigned char md5[16];
    uint32_t length;         // payload bytes after this header
};

// What a FILE payload holds before its data.
struct Pk2FileFields {
    uint32_t name_length;
    char name[PK2_NAME_SIZE];
    uint32_t data_length;
};

enum Pk2EntryType { PK2_OTHER, PK2_FILE, PK2_CMD };

extern const unsigned char xorstr[8];

// XORs buf with the key, key index 0 at buf[0].
void pk2Descramble(unsigned char *buf, size_t size);

// Return 0 when the whole record was read, -1 when the package ended.
int pk2ReadHeader(FILE *pkg, PackageHeader *header);
int pk2ReadEntryHeader(FILE *pkg, PackageEntryHeader *entry);

enum Pk2EntryType pk2EntryType(const PackageEntryHeader *entry);

// Reads name_length, name and data_length of a FILE entry. -1 when the
// package ends early or the fields break the limits: name_length 0 or above
// PK2_NAME_SIZE, a name without a NUL, data_length of PK2_MAX_DATA or more,
// or lengths that disagree with the entry's length.
int pk2ReadFileFields(FILE *pkg, const PackageEntryHeader *entry, Pk2FileFields *fields);

// 1 when a CMD payload of this length fits the work buffer with its NUL.
int pk2CmdLengthValid(uint32_t length);

// The passes over the entries after the header; work is PK2_WORK_SIZE bytes.
// Verification checks every digest and the exact end: 0, or -2 when the
// package is unsound. Installation: 0, -1 when it breaks off, -2 when a
// target can't be created.
int pk2VerifyEntries(FILE *pkg, const PackageHeader *header, unsigned char *work);
int pk2InstallEntries(FILE *pkg, const PackageHeader *header, unsigned char *work);

#endif
