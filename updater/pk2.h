// Reader and installer of pk2 packages.
#ifndef UPDATER_PK2_H
#define UPDATER_PK2_H

#include <stdint.h>
#include <stdio.h>

// Verifies the whole package, then (unless ident is IDENT_VERIFY_ONLY)
// installs its entries in file order. pubtime, when not null, holds the
// publication time of the package installed last. Returns 0 on success,
// -1 or -2 on failure.
int exec_pk2(const char *path, uint32_t ident, uint32_t *pubtime);

// fopen that first creates every missing directory on the path.
FILE *fopenex(const char *path, const char *mode);

#endif
