// stat must not fail with EOVERFLOW on a 32-bit device.
#define _FILE_OFFSET_BITS 64

#include <sys/stat.h>

#include "pk2.h"
#include "pk2_format.h"

// Every prefix that ends in "/" is made a directory unless stat finds it.
// A prefix that doesn't fit the buffer is left alone: fopen then fails
// if its directories are missing.
FILE *fopenex(const char *path, const char *mode)
{
    char prefix[PK2_NAME_SIZE];
    for (size_t i = 0; path[i] != '\0' && i + 1 < sizeof prefix; i++) {
        prefix[i] = path[i];
        if (path[i] != '/')
            continue;
        prefix[i + 1] = '\0';
        struct stat st;
        if (stat(prefix, &st) != 0)
            mkdir(prefix, 0755);  // a failure shows when the file is opened
    }
    return fopen(path, mode);
}
