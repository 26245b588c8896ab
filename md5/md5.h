// MD5 message digest (RFC 1321), computed incrementally.
#ifndef MD5_MD5_H
#define MD5_MD5_H

#include <stdint.h>

struct MD5_CTX {
    uint32_t state[4];       // chaining values A, B, C, D
    uint32_t count[2];       // input bits so far, modulo 2^64, low word first
    unsigned char buffer[64]; // input not yet consumed by a block transform
};

void MD5_Init(MD5_CTX *ctx);
void MD5_Update(MD5_CTX *ctx, const unsigned char *data, uint32_t len);
// Writes the digest, then zeroes the whole context.
void MD5_Final(unsigned char digest[16], MD5_CTX *ctx);
// One-shot digest; always returns 1.
int MDString(const unsigned char *data, uint32_t len, unsigned char digest[16]);

#endif
