// Digest mode of pk2update: the MD5 of one file on standard output.
#ifndef UPDATER_DIGEST_H
#define UPDATER_DIGEST_H

// Prints "<32 hex digits> <path>\n". Returns 0, or 3 when the file
// cannot be opened or read through, 1 when the line cannot be written.
int printFileDigest(const char *path);

#endif
