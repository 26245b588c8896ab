// Pieces of the dump machinery shared by its files: text without fixed
// bounds, the choice and opening of a dump file, and its content.
#ifndef RELAY_DUMP_INTERNAL_H
#define RELAY_DUMP_INTERNAL_H

#include <stdlib.h>

#include "loopbuffer.h"

// Formats into a block of exactly the needed size; null when the text
// can't be formatted or the block can't be had. The caller frees it.
char *DumpFormat(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Frees a DumpFormat block when the function that made it returns.
struct ScopedText {
    char *text;
    explicit ScopedText(char *t) : text(t) {}
    ~ScopedText() { free(text); }
    ScopedText(const ScopedText &) = delete;
    ScopedText &operator=(const ScopedText &) = delete;
};

// Opens a new snapshot (cont 0) or continuous (cont 1) dump file in the
// first dump path that takes one and prints its name; the descriptor, or
// -1 when no path worked.
int DumpOpenFile(int cont, int max_file);

// Writes the -a files, the -e output and the loop buffer to fd.
void DumpWriteContent(int fd, const LoopBuffer *lb);

#endif
