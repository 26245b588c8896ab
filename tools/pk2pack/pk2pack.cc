#include "pk2pack.h"

#include <stdio.h>

#include <algorithm>
#include <functional>

#include "md5.h"

const unsigned char PACK_KEY[8] = {0x5C, 0x19, 0xE2, 0x07, 0x9D, 0x6A, 0xF0, 0x3B};

namespace {

using Sink = std::function<bool(const char *bytes, size_t size)>;

// Scrambled data passes through a buffer of this size; a multiple of 8, so
// the key index restarts at 0 in every piece.
constexpr size_t CHUNK = 1 << 16;

std::string le32(uint32_t v)
{
    std::string out(4, '\0');
    for (int i = 0; i < 4; i++)
        out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

std::string fourBytes(const std::string &s)
{
    std::string out = s.substr(0, 4);
    out.resize(4, '\0');
    return out;
}

void md5Feed(MD5_CTX *ctx, const std::string &bytes)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes.data());
    size_t left = bytes.size();
    while (left > 0) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(left, 1u << 30));
        MD5_Update(ctx, p, n);
        p += n;
        left -= n;
    }
}

// FILE: the stored name_length, name and data_length.
std::string fileFields(const PackEntry &e)
{
    uint32_t name_length = e.name_length.value_or(static_cast<uint32_t>(e.name.size()));
    uint32_t data_length = e.data_length.value_or(static_cast<uint32_t>(e.data.size()));
    return le32(name_length) + e.name + le32(data_length);
}

size_t storedPayloadSize(const PackEntry &e)
{
    switch (e.layout) {
    case PackLayout::FILE:
        return fileFields(e).size() + e.data.size();
    case PackLayout::CMD:
        return e.data.size();
    case PackLayout::RAW:
        break;
    }
    return e.payload.size();
}

bool writeScrambled(const std::string &plain, const Sink &sink)
{
    std::string piece;
    for (size_t at = 0; at < plain.size(); at += CHUNK) {
        piece.assign(plain, at, CHUNK);
        PackScramble(piece.data(), piece.size());
        if (!sink(piece.data(), piece.size()))
            return false;
    }
    return true;
}

bool writeEntry(const PackEntry &e, const Sink &sink)
{
    PackDigest md5 = e.md5 ? *e.md5 : PackEntryDigest(e);
    uint32_t length = e.length.value_or(static_cast<uint32_t>(storedPayloadSize(e)));
    std::string head = fourBytes(e.type);
    head.append(reinterpret_cast<const char *>(md5.data()), md5.size());
    head += le32(length);
    if (!sink(head.data(), head.size()))
        return false;
    switch (e.layout) {
    case PackLayout::FILE: {
        std::string fields = fileFields(e);
        return sink(fields.data(), fields.size()) && writeScrambled(e.data, sink);
    }
    case PackLayout::CMD:
        return writeScrambled(e.data, sink);
    case PackLayout::RAW:
        break;
    }
    return sink(e.payload.data(), e.payload.size());
}

bool writePackage(const PackDesc &desc, const Sink &sink)
{
    uint32_t count = desc.entry_count.value_or(static_cast<uint32_t>(desc.entries.size()));
    std::string head = fourBytes(desc.magic) + le32(desc.ident) + le32(desc.pubtime) +
                       le32(0) + le32(desc.flags) + le32(0) + le32(count);
    if (!sink(head.data(), head.size()))
        return false;
    for (const PackEntry &e : desc.entries) {
        if (!writeEntry(e, sink))
            return false;
    }
    return true;
}

}  // namespace

PackEntry PackFile(const std::string &path, const std::string &content)
{
    PackEntry e;
    e.type = "FILE";
    e.layout = PackLayout::FILE;
    e.name = path + '\0';
    e.data = content;
    return e;
}

PackEntry PackCmd(const std::string &command)
{
    PackEntry e;
    e.type = std::string("CMD\0", 4);
    e.layout = PackLayout::CMD;
    e.data = command + '\0';
    return e;
}

PackEntry PackRaw(const std::string &type, const std::string &payload)
{
    PackEntry e;
    e.type = type;
    e.layout = PackLayout::RAW;
    e.payload = payload;
    return e;
}

PackDigest PackEntryDigest(const PackEntry &e)
{
    MD5_CTX ctx;
    MD5_Init(&ctx);
    switch (e.layout) {
    case PackLayout::FILE:
        md5Feed(&ctx, fileFields(e));
        md5Feed(&ctx, e.data);
        break;
    case PackLayout::CMD:
        md5Feed(&ctx, e.data);
        break;
    case PackLayout::RAW:
        md5Feed(&ctx, e.payload);
        break;
    }
    PackDigest digest;
    MD5_Final(digest.data(), &ctx);
    return digest;
}

void PackScramble(char *bytes, size_t size)
{
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<char>(bytes[i] ^ PACK_KEY[i % 8]);
}

std::string PackBuild(const PackDesc &desc)
{
    std::string out;
    writePackage(desc, [&out](const char *bytes, size_t size) {
        out.append(bytes, size);
        return true;
    });
    return out;
}

bool PackWrite(const std::string &path, const PackDesc &desc)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = writePackage(desc, [f](const char *bytes, size_t size) {
        return fwrite(bytes, 1, size, f) == size;
    });
    return fclose(f) == 0 && ok;
}

bool PackWriteBytes(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}
