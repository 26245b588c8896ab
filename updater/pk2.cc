// Packages of more than 2 GiB must open on a 32-bit device too.
#define _FILE_OFFSET_BITS 64

// exec_pk2: header checks, the publication-time record, then verification
// of the whole package and, unless only verifying, its installation.
//
// Results: 0 installed (or verified); -1 can't open, header unmatched,
// already installed, no work buffer, installation broke off; -2 package
// unsound or a target can't be created.
#include <stdlib.h>
#include <string.h>

#include "pk2.h"
#include "pk2_format.h"
#include "settings.h"

// The package stream reads ahead in blocks this large, so a 8192-byte
// piece costs no system call of its own; 28-byte headers would otherwise
// split every piece across two reads of stdio's default 4 KiB buffer.
static char package_buffer[64 * 1024];

static int headerMatches(const PackageHeader *header, uint32_t ident)
{
    if (memcmp(header->magic, "PK2", 4) != 0)  // the literal's NUL is the 4th byte
        return 0;
    return ident == 0 || ident == IDENT_VERIFY_ONLY || ident == header->ident;
}

// The package is open and its header accepted; runs both passes with the
// work buffer.
static int processEntries(FILE *pkg, const PackageHeader *header, uint32_t ident,
                          unsigned char *work)
{
    if (pk2VerifyEntries(pkg, header, work) != 0) {
        fprintf(stderr, "verify pk2 failed.\n");
        return -2;
    }
    if (ident == IDENT_VERIFY_ONLY)
        return 0;
    if (fseek(pkg, PK2_HEADER_SIZE, SEEK_SET) != 0)
        return -1;
    int rc = pk2InstallEntries(pkg, header, work);
    if (rc == 0)
        printf("PUBTIME: 0x%X\n", header->pubtime);
    return rc;
}

// The record is updated before verification; callers use it only when
// the result is 0.
static int processPackage(FILE *pkg, uint32_t ident, uint32_t *pubtime)
{
    PackageHeader header;
    if (pk2ReadHeader(pkg, &header) != 0 || !headerMatches(&header, ident)) {
        fprintf(stderr, "Error or unmatched package file.\n\n");
        return -1;
    }
    if (pubtime) {
        if (header.pubtime == *pubtime) {
            fprintf(stderr, "Ignore image.\n");
            return -1;
        }
        if (!(header.flags & PK2_FLAG_KEEP_PUBTIME))
            *pubtime = header.pubtime;
    }
    unsigned char *work = (unsigned char *)malloc(PK2_WORK_SIZE);
    if (!work) {
        fprintf(stderr, "Can't allocate work buffer.\n");
        return -1;
    }
    int rc = processEntries(pkg, &header, ident, work);
    free(work);
    return rc;
}

int exec_pk2(const char *path, uint32_t ident, uint32_t *pubtime)
{
    // Close-on-exec: the package's commands and the daemons they restart
    // must not keep it open, or its space and its partition stay busy.
    FILE *pkg = fopen(path, "rbe");
    if (!pkg) {
        fprintf(stderr, "Can't open file: %s\n", path);
        return -1;
    }
    setvbuf(pkg, package_buffer, _IOFBF, sizeof package_buffer);
    int rc = processPackage(pkg, ident, pubtime);
    fclose(pkg);
    return rc;
}
