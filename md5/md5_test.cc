#include "md5.h"

#include <gtest/gtest.h>

// Hex digest of m fed to MD5_Update in runs of run bytes.
static std::string DigestOf(const std::string &m, size_t run = SIZE_MAX)
{
    MD5_CTX ctx, zero = {};
    unsigned char d[16];
    char hex[33];
    MD5_Init(&ctx);
    for (size_t at = 0; at < m.size(); at += run)
        MD5_Update(&ctx, (const unsigned char *)&m[at], (uint32_t)std::min(run, m.size() - at));
    MD5_Final(d, &ctx);
    EXPECT_EQ(0, memcmp(&ctx, &zero, sizeof ctx)) << "context left after MD5_Final";
    for (int i = 0; i < 16; i++)
        snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

// RFC 1321's "" and "abc", then the digests of every prefix (0..1000 bytes) of a pseudo-random
// buffer digested in runs that fill blocks unevenly: worked out with an independent MD5.
TEST(Md5, KnownDigests)
{
    EXPECT_EQ(DigestOf("") + DigestOf("abc", 2),
        "d41d8cd98f00b204e9800998ecf8427e900150983cd24fb0d6963f7d28e17f72");
    std::string data, digests;
    unsigned char d[16];
    for (uint32_t x = 1, n = 0; n <= 1000; n++) {
        EXPECT_EQ(MDString((const unsigned char *)data.data(), n, d), 1);
        digests.append((const char *)d, 16);
        data += (char)((x = x * 1103515245u + 12345u) >> 16);
    }
    for (size_t run : {(size_t)1, (size_t)63, (size_t)65})
        EXPECT_EQ(DigestOf(digests, run), "fb5e1dfaf074028b865ba22d31f3715a") << "runs of " << run;
}
