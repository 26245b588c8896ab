// Builds pk2 packages on the host, sound ones and deliberately broken ones.
//
// A package is a 28-byte header and entries; every integer is unsigned
// 32-bit little-endian. The builder fills in everything it can derive
// (lengths, digests, entry count) and lets a test override each of them
// to make a package that the reader must refuse.
//
//   PackDesc desc;
//   desc.ident = 5;
//   desc.pubtime = 0x5F000000;
//   desc.entries.push_back(PackFile("/opt/app/tool", content));
//   desc.entries.push_back(PackCmd("chmod 755 /opt/app/tool"));
//   PackWrite("/tmp/update.pk2", desc);
#ifndef TOOLS_PK2PACK_PK2PACK_H
#define TOOLS_PK2PACK_PK2PACK_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Scrambling key: byte k of a scrambled part is XORed with key byte k % 8.
extern const unsigned char PACK_KEY[8];

using PackDigest = std::array<unsigned char, 16>;

// How an entry's payload is laid out when it is stored.
enum class PackLayout {
    FILE,  // name_length, name (plain), data_length, data (scrambled)
    CMD,   // data (scrambled): the command text with its NUL
    RAW,   // payload stored exactly as given
};

struct PackEntry {
    std::string type;     // stored type; padded with NULs or cut to 4 bytes
    PackLayout layout = PackLayout::RAW;
    std::string name;     // FILE: stored name bytes, its NUL included
    std::string data;     // FILE: file content; CMD: text with its NUL (plain)
    std::string payload;  // RAW: the payload bytes

    // Overrides; when empty the builder stores the sound value.
    std::optional<PackDigest> md5;         // digest as defined by the format
    std::optional<uint32_t> name_length;   // FILE: default name.size()
    std::optional<uint32_t> data_length;   // FILE: default data.size()
    std::optional<uint32_t> length;        // default: stored payload size
};

struct PackDesc {
    std::string magic = std::string("PK2\0", 4);  // cut or padded to 4 bytes
    uint32_t ident = 0;
    uint32_t pubtime = 0;
    uint32_t flags = 0;                     // bit 0: do not record pubtime
    std::optional<uint32_t> entry_count;    // default entries.size()
    std::vector<PackEntry> entries;
};

// A FILE entry delivering content to path (the NUL is added to the name).
PackEntry PackFile(const std::string &path, const std::string &content);
// A CMD entry running command (the NUL is added to the text).
PackEntry PackCmd(const std::string &command);
// An entry of any type whose payload is stored as given; its digest, unless
// overridden, is the MD5 of the payload.
PackEntry PackRaw(const std::string &type, const std::string &payload);

// The digest the builder stores for entry when md5 is not overridden:
// FILE: MD5 of the stored lengths and name, then the plain data;
// CMD: MD5 of the plain text; RAW: MD5 of the payload.
PackDigest PackEntryDigest(const PackEntry &entry);

// XORs bytes in place with the key, key index 0 at bytes[0].
void PackScramble(char *bytes, size_t size);

// The whole package as bytes.
std::string PackBuild(const PackDesc &desc);

// Writes the package to path, streaming it entry by entry so a large
// entry is not copied. Returns false (errno set) when the file can't be
// written.
bool PackWrite(const std::string &path, const PackDesc &desc);
// Writes bytes to path as they are (for packages edited after building).
bool PackWriteBytes(const std::string &path, const std::string &bytes);

#endif
