// Paths and shell commands of the partition scan, built without fixed
// bounds: a long mount directory or device name is never cut.
#ifndef UPDATER_PARTITION_TEXT_H
#define UPDATER_PARTITION_TEXT_H

#include <stdlib.h>

// Formats into a block of exactly the needed size; null (errno set) when
// the block can't be had. The caller frees it.
char *PartitionFormat(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// text as one shell word: as it stands when it holds nothing the shell
// would split, expand or glob, otherwise in single quotes. Freed by the
// caller; null when the block can't be had.
char *PartitionShellWord(const char *text);

// Frees a block of the functions above when its function returns.
struct PartitionScopedText {
    char *text;
    explicit PartitionScopedText(char *t) : text(t) {}
    ~PartitionScopedText() { free(text); }
    PartitionScopedText(const PartitionScopedText &) = delete;
    PartitionScopedText &operator=(const PartitionScopedText &) = delete;
};

#endif
