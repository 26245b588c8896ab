#include "pk2list.h"

#include <string.h>
#include <sys/stat.h>

#include <memory>

#include "md5.h"
#include "pk2pack.h"

namespace {

const uint32_t TYPE_FILE = 0x454C4946;  // "FILE"
const uint32_t TYPE_CMD = 0x00444D43;   // "CMD\0"
const uint32_t MAX_NAME = 256;
const uint32_t MAX_CMD = 8192;
const uint32_t MAX_LENGTH = 0x7FFFFFFF;
const size_t KEEP_TEXT = MAX_CMD;       // enough to find the NUL of any command

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

uint32_t le32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

bool readWord(FILE *f, uint32_t *word, MD5_CTX *ctx)
{
    unsigned char b[4];
    if (fread(b, 1, 4, f) != 4)
        return false;
    if (ctx)
        MD5_Update(ctx, b, 4);
    *word = le32(b);
    return true;
}

// Streams n bytes into the digest, descrambled when asked (the key restarts
// at the first byte of the part), and keeps the first bytes in *keep when
// keep is not null.
bool feed(FILE *f, uint64_t n, MD5_CTX *ctx, bool descramble, std::string *keep)
{
    unsigned char buf[65536];
    uint64_t done = 0;
    while (done < n) {
        size_t want = n - done < sizeof buf ? n - done : sizeof buf;
        if (fread(buf, 1, want, f) != want)
            return false;
        if (descramble)
            for (size_t i = 0; i < want; i++)
                buf[i] ^= PACK_KEY[(done + i) % 8];
        MD5_Update(ctx, buf, want);
        if (keep && keep->size() < KEEP_TEXT)
            keep->append((const char *)buf, std::min(want, KEEP_TEXT - keep->size()));
        done += want;
    }
    return true;
}

// Cuts the text at its first NUL; false when it holds none.
bool cutAtNul(std::string *text)
{
    size_t nul = text->find('\0');
    if (nul == std::string::npos)
        return false;
    text->resize(nul);
    return true;
}

bool digestMatches(MD5_CTX *ctx, const unsigned char *want)
{
    unsigned char got[16];
    MD5_Final(got, ctx);
    return memcmp(got, want, 16) == 0;
}

void readFilePayload(FILE *f, const unsigned char *md5, Pk2ListEntry *e)
{
    MD5_CTX ctx;
    MD5_Init(&ctx);
    uint32_t name_length = 0;
    if (e->length < 8 || !readWord(f, &name_length, &ctx) || name_length > e->length - 8) {
        e->problem = "lengths disagree";
        return;
    }
    std::string name;
    if (!feed(f, name_length, &ctx, false, &name) || !readWord(f, &e->data_length, &ctx))
        return;
    e->lengths_agree = (uint64_t)name_length + e->data_length + 8 == e->length;
    if (!e->lengths_agree) {
        e->problem = "lengths disagree";
        return;
    }
    e->digest_good = feed(f, e->data_length, &ctx, true, nullptr) && digestMatches(&ctx, md5);
    bool has_nul = cutAtNul(&name);
    e->text = name;
    if (name_length == 0 || name_length > MAX_NAME)
        e->problem = "name length outside 1..256";
    else if (!has_nul)
        e->problem = "name holds no NUL";
    else if (name.empty())
        e->problem = "empty target path";
    else if (e->data_length > MAX_LENGTH)
        e->problem = "data of 2 GiB or more";
}

void readCmdPayload(FILE *f, const unsigned char *md5, Pk2ListEntry *e)
{
    MD5_CTX ctx;
    MD5_Init(&ctx);
    std::string text;
    e->digest_good = feed(f, e->length, &ctx, true, &text) && digestMatches(&ctx, md5);
    bool has_nul = cutAtNul(&text);
    e->text = text;
    if (e->length == 0 || e->length > MAX_CMD)
        e->problem = "command length outside 1..8192";
    else if (!has_nul)
        e->problem = "command holds no NUL";
}

enum EntryRead { ENTRY_WHOLE, ENTRY_CUT, ENTRY_MISSING };

// Reads the entry at the current position and leaves the file right after it.
EntryRead readEntry(FILE *f, uint64_t file_size, Pk2ListEntry *e)
{
    unsigned char head[24];
    uint64_t at = ftello(f);
    if (fread(head, 1, sizeof head, f) != sizeof head)
        return ENTRY_MISSING;
    e->type = le32(head);
    e->length = le32(head + 20);
    e->kind = e->type == TYPE_FILE ? PK2LIST_FILE : e->type == TYPE_CMD ? PK2LIST_CMD : PK2LIST_OTHER;
    uint64_t end = at + sizeof head + e->length;
    e->complete = end <= file_size;
    if (!e->complete)
        return ENTRY_CUT;
    if (e->kind == PK2LIST_FILE)
        readFilePayload(f, head + 4, e);
    else if (e->kind == PK2LIST_CMD)
        readCmdPayload(f, head + 4, e);
    if (e->kind != PK2LIST_FILE)
        e->lengths_agree = true;
    if (e->kind != PK2LIST_OTHER && e->length > MAX_LENGTH)
        e->problem = "payload of 2 GiB or more";
    return fseeko(f, end, SEEK_SET) == 0 ? ENTRY_WHOLE : ENTRY_CUT;
}

// Shows control bytes and non-ASCII as escapes, so a listing stays one
// line per entry whatever the text holds.
std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        char esc[8];
        if (c == '\\')
            out += "\\\\";
        else if (c >= 0x20 && c < 0x7F)
            out += (char)c;
        else if (c == '\n')
            out += "\\n";
        else if (snprintf(esc, sizeof esc, "\\x%02X", c) == 4)
            out += esc;
    }
    return out;
}

void printEntry(const Pk2ListEntry &e, uint32_t number, FILE *out)
{
    if (e.kind == PK2LIST_OTHER) {
        fprintf(out, "%-4u other %-10u -     type 0x%08X, skipped\n", number, e.length, e.type);
        return;
    }
    const char *digest = !e.complete ? "-" : e.digest_good ? "good" : "BAD";
    fprintf(out, "%-4u %-5s %-10u %-5s %s", number, e.kind == PK2LIST_FILE ? "FILE" : "CMD",
            e.length, digest, printable(e.text).c_str());
    if (!e.problem.empty())
        fprintf(out, "  [%s]", e.problem.c_str());
    fprintf(out, "%s\n", e.complete ? "" : "  [cut short by the end of the file]");
}

void printEnd(const Pk2Listing &l, FILE *out)
{
    size_t listed = l.entries.size();
    if (l.ends_exactly)
        fprintf(out, "end      exact: nothing follows the last entry\n");
    else if (listed < l.entry_count || (listed && !l.entries.back().complete))
        fprintf(out, "end      BAD: the file ends within entry %zu of %u\n",
                listed && !l.entries.back().complete ? listed : listed + 1, l.entry_count);
    else
        fprintf(out, "end      BAD: bytes follow the last entry\n");
}

} // namespace

bool Pk2ListRead(const char *path, Pk2Listing *listing)
{
    *listing = Pk2Listing{};
    ScopedFile f(fopen(path, "rb"));
    struct stat st;
    if (!f || fstat(fileno(f.get()), &st) != 0)
        return false;
    listing->file_size = st.st_size;
    unsigned char head[28];
    if (fread(head, 1, sizeof head, f.get()) != sizeof head)
        return !ferror(f.get());
    listing->header_complete = true;
    listing->magic_good = memcmp(head, "PK2", 4) == 0;
    listing->ident = le32(head + 4);
    listing->pubtime = le32(head + 8);
    listing->flags = le32(head + 16);
    listing->entry_count = le32(head + 24);
    for (uint32_t i = 0; i < listing->entry_count; i++) {
        Pk2ListEntry e{};
        EntryRead got = readEntry(f.get(), listing->file_size, &e);
        if (got != ENTRY_MISSING)
            listing->entries.push_back(e);
        if (got != ENTRY_WHOLE)
            return !ferror(f.get());
    }
    listing->ends_exactly = (uint64_t)ftello(f.get()) == listing->file_size;
    return true;
}

bool Pk2ListSound(const Pk2Listing &listing)
{
    if (!listing.header_complete || !listing.magic_good || !listing.ends_exactly)
        return false;
    for (const Pk2ListEntry &e : listing.entries) {
        if (!e.complete || !e.problem.empty())
            return false;
        if (e.kind != PK2LIST_OTHER && !e.digest_good)
            return false;
    }
    return true;
}

void Pk2ListPrint(const Pk2Listing &l, FILE *out)
{
    if (!l.header_complete) {
        fprintf(out, "header   BAD: the file holds %llu bytes, a header needs 28\n",
                (unsigned long long)l.file_size);
        return;
    }
    fprintf(out, "magic    %s\n", l.magic_good ? "PK2" : "BAD");
    fprintf(out, "ident    0x%08X (%u)\n", l.ident, l.ident);
    fprintf(out, "pubtime  0x%X\n", l.pubtime);
    fprintf(out, "flags    0x%08X%s\n", l.flags,
            l.flags & 1 ? " (publication time not recorded)" : "");
    fprintf(out, "entries  %u\n", l.entry_count);
    fprintf(out, "#    type  length     md5   target or command\n");
    for (size_t i = 0; i < l.entries.size(); i++)
        printEntry(l.entries[i], i + 1, out);
    printEnd(l, out);
}
