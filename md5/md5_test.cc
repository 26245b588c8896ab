#include "md5.h"

#include <gtest/gtest.h>

// The digests of every prefix (0..1000 bytes) of a pseudo-random buffer, digested again in runs
// that fill blocks unevenly; the digest was worked out with an independent MD5.
TEST(Md5, KnownDigests)
{
    std::string data;
    std::vector<unsigned char> digests;
    unsigned char d[16];
    for (uint32_t x = 1, n = 0; n <= 1000; n++) {
        EXPECT_EQ(MDString((const unsigned char *)data.data(), n, d), 1);
        digests.insert(digests.end(), d, d + 16);
        data += (char)((x = x * 1103515245u + 12345u) >> 16);
    }
    for (size_t run : {1, 63, 65}) {
        MD5_CTX ctx, zero = {};
        MD5_Init(&ctx);
        for (size_t at = 0; at < digests.size(); at += run)
            MD5_Update(&ctx, &digests[at], (uint32_t)std::min(run, digests.size() - at));
        MD5_Final(d, &ctx);
        EXPECT_EQ(0, memcmp(&ctx, &zero, sizeof ctx)) << "context left after MD5_Final";
        EXPECT_EQ(std::string((char *)d, 16),
            "\xfb\x5e\x1d\xfa\xf0\x74\x02\x8b\x86\x5b\xa2\x2d\x31\xf3\x71\x5a") << run;
    }
}
