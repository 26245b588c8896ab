// pk2pack: builds pk2 packages for pk2update and lists them back.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "pk2list.h"
#include "pk2pack.h"

namespace {

// What the device's reader accepts; a package beyond these would only be
// refused there.
const size_t MAX_TARGET = 255;
const size_t MAX_COMMAND = 8191;
const uint64_t MAX_DATA = 0x7FFFFFFF;

const char USAGE[] =
    "Usage:\n"
    "  pk2pack create -o OUT -d IDENT [-t PUBTIME] [-n] [-f SRC:TARGET | -x COMMAND]...\n"
    "  pk2pack list PACKAGE\n"
    "\n"
    "create writes a package to OUT holding the entries in the order given:\n"
    "  -d IDENT     package identifier (decimal, 0x hexadecimal or 0 octal)\n"
    "  -t PUBTIME   publication time (same forms); default: the current time\n"
    "  -n           do not let the device record the publication time (flags bit 0)\n"
    "  -f SRC:TARGET  a FILE entry: the content of SRC, written to TARGET on the\n"
    "               device (split at the first ':'; TARGET at most 255 characters)\n"
    "  -x COMMAND   a CMD entry: the shell command text (at most 8191 characters)\n"
    "list prints the header and every entry with its digest checked; its status\n"
    "is 1 when the device would refuse the package.\n";

int usage()
{
    fputs(USAGE, stderr);
    return 2;
}

bool parseU32(const char *text, uint32_t *value)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno || end == text || *end || text[0] == '-' || v > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

// Reads a whole file; a directory or a read error is a failure with errno
// set, never an empty file.
bool readWhole(const std::string &path, std::string *content)
{
    FILE *in = fopen(path.c_str(), "rb");
    if (!in)
        return false;
    struct stat st;
    bool ok = fstat(fileno(in), &st) == 0;
    if (ok && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        ok = false;
    }
    if (ok && S_ISREG(st.st_mode))
        content->reserve(st.st_size);
    char buf[65536];
    size_t got;
    while (ok && (got = fread(buf, 1, sizeof buf, in)) > 0)
        content->append(buf, got);
    ok = ok && !ferror(in);
    int saved = errno;
    fclose(in);
    errno = saved;
    return ok;
}

// Returns 0, or the exit status after the message: 2 for a malformed
// argument, 1 for a source the device could not take.
int addFile(const char *arg, PackDesc *desc)
{
    const char *colon = strchr(arg, ':');
    if (!colon || colon == arg || !colon[1]) {
        fprintf(stderr, "pk2pack: -f wants SRC:TARGET, not '%s'\n", arg);
        return usage();
    }
    std::string source(arg, colon - arg);
    std::string target(colon + 1);
    if (target.size() > MAX_TARGET) {
        fprintf(stderr, "pk2pack: target longer than %zu characters: %s\n", MAX_TARGET, target.c_str());
        return 1;
    }
    std::string content;
    if (!readWhole(source, &content)) {
        fprintf(stderr, "pk2pack: cannot read %s: %s\n", source.c_str(), strerror(errno));
        return 1;
    }
    if (content.size() > MAX_DATA) {
        fprintf(stderr, "pk2pack: %s is 2 GiB or more\n", source.c_str());
        return 1;
    }
    // Moved in rather than copied: a source may be as large as the device takes.
    desc->entries.push_back(PackFile(target, ""));
    desc->entries.back().data = std::move(content);
    return 0;
}

bool addCommand(const char *text, PackDesc *desc)
{
    if (strlen(text) > MAX_COMMAND) {
        fprintf(stderr, "pk2pack: command longer than %zu characters\n", MAX_COMMAND);
        return false;
    }
    desc->entries.push_back(PackCmd(text));
    return true;
}

// Every option is taken in the order given, so the entries keep the
// order of -f and -x on the command line. Returns 0, or the exit status:
// 2 after the usage text, 1 after an error with the entries.
int parseCreate(int argc, char **argv, PackDesc *desc, const char **out)
{
    bool have_ident = false, have_time = false;
    int opt;
    optind = 1;
    opterr = 0;
    while ((opt = getopt(argc, argv, "+o:d:t:nf:x:")) != -1) {
        bool ok = true;
        int status = 0;
        switch (opt) {
        case 'o': *out = optarg; break;
        case 'd': ok = have_ident = parseU32(optarg, &desc->ident); break;
        case 't': ok = have_time = parseU32(optarg, &desc->pubtime); break;
        case 'n': desc->flags |= 1; break;
        case 'f': status = addFile(optarg, desc); break;
        case 'x': status = addCommand(optarg, desc) ? 0 : 1; break;
        default:
            fprintf(stderr, "pk2pack: unknown option or missing value: -%c\n", optopt);
            return usage();
        }
        if (!ok) {
            fprintf(stderr, "pk2pack: -%c wants a number from 0 to 0xFFFFFFFF, not '%s'\n", opt, optarg);
            return usage();
        }
        if (status != 0)
            return status;
    }
    if (optind != argc || !*out || !have_ident) {
        fprintf(stderr, "pk2pack: create needs -o OUT and -d IDENT, and takes no other arguments\n");
        return usage();
    }
    if (!have_time)
        desc->pubtime = static_cast<uint32_t>(time(nullptr));
    return 0;
}

int create(int argc, char **argv)
{
    PackDesc desc;
    const char *out = nullptr;
    int status = parseCreate(argc, argv, &desc, &out);
    if (status != 0)
        return status;
    // A half-written package is removed only when this run made it: a file
    // that was there before, and could not even be opened, is left alone.
    struct stat st;
    bool existed = lstat(out, &st) == 0;
    if (!PackWrite(out, desc)) {
        fprintf(stderr, "pk2pack: cannot write %s: %s\n", out, strerror(errno));
        if (!existed)
            unlink(out);
        return 1;
    }
    printf("%s: ident 0x%X, pubtime 0x%X, flags 0x%X, %zu entries\n", out, desc.ident,
           desc.pubtime, desc.flags, desc.entries.size());
    return 0;
}

int list(const char *path)
{
    Pk2Listing listing;
    if (!Pk2ListRead(path, &listing)) {
        fprintf(stderr, "pk2pack: cannot read %s: %s\n", path, strerror(errno));
        return 1;
    }
    Pk2ListPrint(listing, stdout);
    return Pk2ListSound(listing) ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "create") == 0)
        return create(argc - 1, argv + 1);
    if (argc == 3 && strcmp(argv[1], "list") == 0)
        return list(argv[2]);
    return usage();
}
