#include "md5.h"

#include <string.h>

// One 0x80 byte, then zeros: the padding that ends every message.
static const unsigned char PADDING[64] = {0x80};

// The block function reads sixteen little-endian words. On a
// little-endian host a 4-byte memcpy becomes one plain load; elsewhere
// the bytes are put together one by one.
static inline uint32_t md5_load(const unsigned char *p)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t w;
    memcpy(&w, p, 4);
    return w;
#else
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
#endif
}

static inline uint32_t md5_rotl(uint32_t x, int s)
{
    return (x << s) | (x >> (32 - s));
}

// The four steps of RFC 1321, each as a = b + ((a + F(b,c,d) + x + t) <<< s).
// The steps form one long chain through b, the value the previous step
// has just produced, so the boolean functions are rewritten to leave as
// few operations as possible waiting for b (x + t and the terms without
// b are worked out while the previous step still runs):
//   F = (b & c) | (~b & d)  ==  d ^ (b & (c ^ d))
//   G = (b & d) | (c & ~d)  ==  (c & ~d) + (b & d)   (the two terms never overlap)
//   H = b ^ c ^ d
//   I = c ^ (b | ~d)
#define MD5_ALWAYS_INLINE inline __attribute__((always_inline))

static MD5_ALWAYS_INLINE void md5_ff(uint32_t &a, uint32_t b, uint32_t c, uint32_t d,
                                     uint32_t x, uint32_t t, int s)
{
    a = a + x + t + (d ^ (b & (c ^ d)));
    a = md5_rotl(a, s) + b;
}

static MD5_ALWAYS_INLINE void md5_gg(uint32_t &a, uint32_t b, uint32_t c, uint32_t d,
                                     uint32_t x, uint32_t t, int s)
{
    a = a + x + t + (c & ~d) + (b & d);
    a = md5_rotl(a, s) + b;
}

static MD5_ALWAYS_INLINE void md5_hh(uint32_t &a, uint32_t b, uint32_t c, uint32_t d,
                                     uint32_t x, uint32_t t, int s)
{
    a = a + x + t + ((c ^ d) ^ b);
    a = md5_rotl(a, s) + b;
}

static MD5_ALWAYS_INLINE void md5_ii(uint32_t &a, uint32_t b, uint32_t c, uint32_t d,
                                     uint32_t x, uint32_t t, int s)
{
    a = a + x + t + (c ^ (b | ~d));
    a = md5_rotl(a, s) + b;
}

// Rounds 1 and 2 of the block function, fully unrolled.
static MD5_ALWAYS_INLINE void md5_rounds12(uint32_t &a, uint32_t &b, uint32_t &c,
                                           uint32_t &d, const unsigned char *p)
{
#define X(i) md5_load(p + 4 * (i))
    md5_ff(a, b, c, d, X(0), 0xd76aa478, 7);
    md5_ff(d, a, b, c, X(1), 0xe8c7b756, 12);
    md5_ff(c, d, a, b, X(2), 0x242070db, 17);
    md5_ff(b, c, d, a, X(3), 0xc1bdceee, 22);
    md5_ff(a, b, c, d, X(4), 0xf57c0faf, 7);
    md5_ff(d, a, b, c, X(5), 0x4787c62a, 12);
    md5_ff(c, d, a, b, X(6), 0xa8304613, 17);
    md5_ff(b, c, d, a, X(7), 0xfd469501, 22);
    md5_ff(a, b, c, d, X(8), 0x698098d8, 7);
    md5_ff(d, a, b, c, X(9), 0x8b44f7af, 12);
    md5_ff(c, d, a, b, X(10), 0xffff5bb1, 17);
    md5_ff(b, c, d, a, X(11), 0x895cd7be, 22);
    md5_ff(a, b, c, d, X(12), 0x6b901122, 7);
    md5_ff(d, a, b, c, X(13), 0xfd987193, 12);
    md5_ff(c, d, a, b, X(14), 0xa679438e, 17);
    md5_ff(b, c, d, a, X(15), 0x49b40821, 22);

    md5_gg(a, b, c, d, X(1), 0xf61e2562, 5);
    md5_gg(d, a, b, c, X(6), 0xc040b340, 9);
    md5_gg(c, d, a, b, X(11), 0x265e5a51, 14);
    md5_gg(b, c, d, a, X(0), 0xe9b6c7aa, 20);
    md5_gg(a, b, c, d, X(5), 0xd62f105d, 5);
    md5_gg(d, a, b, c, X(10), 0x02441453, 9);
    md5_gg(c, d, a, b, X(15), 0xd8a1e681, 14);
    md5_gg(b, c, d, a, X(4), 0xe7d3fbc8, 20);
    md5_gg(a, b, c, d, X(9), 0x21e1cde6, 5);
    md5_gg(d, a, b, c, X(14), 0xc33707d6, 9);
    md5_gg(c, d, a, b, X(3), 0xf4d50d87, 14);
    md5_gg(b, c, d, a, X(8), 0x455a14ed, 20);
    md5_gg(a, b, c, d, X(13), 0xa9e3e905, 5);
    md5_gg(d, a, b, c, X(2), 0xfcefa3f8, 9);
    md5_gg(c, d, a, b, X(7), 0x676f02d9, 14);
    md5_gg(b, c, d, a, X(12), 0x8d2a4c8a, 20);
}

// Rounds 3 and 4 of the block function, fully unrolled.
static MD5_ALWAYS_INLINE void md5_rounds34(uint32_t &a, uint32_t &b, uint32_t &c,
                                           uint32_t &d, const unsigned char *p)
{
    md5_hh(a, b, c, d, X(5), 0xfffa3942, 4);
    md5_hh(d, a, b, c, X(8), 0x8771f681, 11);
    md5_hh(c, d, a, b, X(11), 0x6d9d6122, 16);
    md5_hh(b, c, d, a, X(14), 0xfde5380c, 23);
    md5_hh(a, b, c, d, X(1), 0xa4beea44, 4);
    md5_hh(d, a, b, c, X(4), 0x4bdecfa9, 11);
    md5_hh(c, d, a, b, X(7), 0xf6bb4b60, 16);
    md5_hh(b, c, d, a, X(10), 0xbebfbc70, 23);
    md5_hh(a, b, c, d, X(13), 0x289b7ec6, 4);
    md5_hh(d, a, b, c, X(0), 0xeaa127fa, 11);
    md5_hh(c, d, a, b, X(3), 0xd4ef3085, 16);
    md5_hh(b, c, d, a, X(6), 0x04881d05, 23);
    md5_hh(a, b, c, d, X(9), 0xd9d4d039, 4);
    md5_hh(d, a, b, c, X(12), 0xe6db99e5, 11);
    md5_hh(c, d, a, b, X(15), 0x1fa27cf8, 16);
    md5_hh(b, c, d, a, X(2), 0xc4ac5665, 23);

    md5_ii(a, b, c, d, X(0), 0xf4292244, 6);
    md5_ii(d, a, b, c, X(7), 0x432aff97, 10);
    md5_ii(c, d, a, b, X(14), 0xab9423a7, 15);
    md5_ii(b, c, d, a, X(5), 0xfc93a039, 21);
    md5_ii(a, b, c, d, X(12), 0x655b59c3, 6);
    md5_ii(d, a, b, c, X(3), 0x8f0ccc92, 10);
    md5_ii(c, d, a, b, X(10), 0xffeff47d, 15);
    md5_ii(b, c, d, a, X(1), 0x85845dd1, 21);
    md5_ii(a, b, c, d, X(8), 0x6fa87e4f, 6);
    md5_ii(d, a, b, c, X(15), 0xfe2ce6e0, 10);
    md5_ii(c, d, a, b, X(6), 0xa3014314, 15);
    md5_ii(b, c, d, a, X(13), 0x4e0811a1, 21);
    md5_ii(a, b, c, d, X(4), 0xf7537e82, 6);
    md5_ii(d, a, b, c, X(11), 0xbd3af235, 10);
    md5_ii(c, d, a, b, X(2), 0x2ad7d2bb, 15);
    md5_ii(b, c, d, a, X(9), 0xeb86d391, 21);
#undef X
}

// The block function: folds one 64-byte block into the chaining values.
static MD5_ALWAYS_INLINE void MD5Transform(uint32_t state[4], const unsigned char block[64])
{
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    md5_rounds12(a, b, c, d, block);
    md5_rounds34(a, b, c, d, block);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

// Whole blocks go through here straight from the caller's data; the
// block function is inlined into this one loop only.
static void md5_blocks(uint32_t state[4], const unsigned char *data, uint32_t nblocks)
{
    for (; nblocks > 0; nblocks--, data += 64)
        MD5Transform(state, data);
}

// Writes len / 4 words little-endian, whatever the host's byte order.
static void MD5Encode(unsigned char *output, const uint32_t *input, uint32_t len)
{
    for (uint32_t i = 0, j = 0; j < len; i++, j += 4) {
        output[j] = (unsigned char)(input[i] & 0xff);
        output[j + 1] = (unsigned char)((input[i] >> 8) & 0xff);
        output[j + 2] = (unsigned char)((input[i] >> 16) & 0xff);
        output[j + 3] = (unsigned char)((input[i] >> 24) & 0xff);
    }
}

void MD5_Init(MD5_CTX *ctx)
{
    ctx->count[0] = 0;
    ctx->count[1] = 0;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
}

void MD5_Update(MD5_CTX *ctx, const unsigned char *data, uint32_t len)
{
    if (len == 0)
        return;
    uint32_t index = (ctx->count[0] >> 3) & 0x3f;
    uint32_t bits = len << 3;

    ctx->count[0] += bits;
    if (ctx->count[0] < bits)
        ctx->count[1]++;
    ctx->count[1] += len >> 29;

    uint32_t room = 64 - index;
    uint32_t done = 0;
    if (len >= room) {
        memcpy(ctx->buffer + index, data, room);
        md5_blocks(ctx->state, ctx->buffer, 1);
        done = room;
        uint32_t whole = (len - done) / 64;
        md5_blocks(ctx->state, data + done, whole);
        done += whole * 64;
        index = 0;
    }
    memcpy(ctx->buffer + index, data + done, len - done);
}

void MD5_Final(unsigned char digest[16], MD5_CTX *ctx)
{
    unsigned char bits[8];
    MD5Encode(bits, ctx->count, 8);

    uint32_t index = (ctx->count[0] >> 3) & 0x3f;
    uint32_t pad_len = index < 56 ? 56 - index : 120 - index;
    MD5_Update(ctx, PADDING, pad_len);
    MD5_Update(ctx, bits, 8);

    MD5Encode(digest, ctx->state, 16);
    memset(ctx, 0, sizeof(*ctx));
}

int MDString(const unsigned char *data, uint32_t len, unsigned char digest[16])
{
    MD5_CTX ctx;
    MD5_Init(&ctx);
    MD5_Update(&ctx, data, len);
    MD5_Final(digest, &ctx);
    return 1;
}
