// Reads a pk2 package back and describes it: the header, every entry with
// its digest checked, and whether the file ends right after the last entry.
// It judges a package as the device's reader does, so a listing that is
// sound means pk2update will verify it.
#ifndef TOOLS_PK2PACK_PK2LIST_H
#define TOOLS_PK2PACK_PK2LIST_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

enum Pk2ListKind { PK2LIST_FILE, PK2LIST_CMD, PK2LIST_OTHER };

struct Pk2ListEntry {
    uint32_t type;          // the type word as stored (little-endian)
    Pk2ListKind kind;
    uint32_t length;        // payload bytes after the entry header
    uint32_t data_length;   // FILE: bytes of content
    std::string text;       // FILE: target path; CMD: command text (up to the NUL)
    bool complete;          // every payload byte is in the file
    bool lengths_agree;     // FILE: name_length + data_length + 8 == length
    bool digest_good;       // FILE, CMD: the stored md5 matches the content
    std::string problem;    // why the device would refuse the entry, or empty
};

struct Pk2Listing {
    uint64_t file_size;
    bool header_complete;   // the file holds the 28 header bytes
    bool magic_good;
    uint32_t ident;
    uint32_t pubtime;
    uint32_t flags;
    uint32_t entry_count;
    std::vector<Pk2ListEntry> entries;  // up to the first incomplete one
    bool ends_exactly;      // all entries present and nothing after them
};

// Reads the package at path. Returns false, with errno set, when it cannot
// be opened or read.
bool Pk2ListRead(const char *path, Pk2Listing *listing);

// True when the device's reader would accept every part of the listing.
bool Pk2ListSound(const Pk2Listing &listing);

// Prints the listing in a form for people, one entry a line.
void Pk2ListPrint(const Pk2Listing &listing, FILE *out);

#endif
