#include "md5.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

std::string Hex(const unsigned char digest[16])
{
    char text[33];
    for (int i = 0; i < 16; i++)
        snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

std::string DigestOf(const std::string &message)
{
    unsigned char digest[16];
    EXPECT_EQ(1, MDString((const unsigned char *)message.data(),
                          (uint32_t)message.size(), digest));
    return Hex(digest);
}

std::string DigestInRuns(const std::string &message, size_t run)
{
    MD5_CTX ctx;
    MD5_Init(&ctx);
    for (size_t at = 0; at < message.size(); at += run) {
        size_t n = std::min(run, message.size() - at);
        MD5_Update(&ctx, (const unsigned char *)message.data() + at, (uint32_t)n);
    }
    unsigned char digest[16];
    MD5_Final(digest, &ctx);
    return Hex(digest);
}

struct Case {
    const char *message;
    const char *digest;
};

const Case kSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890"
     "1234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

// Same generator as the one used to work out kPrefixDigests below.
std::vector<unsigned char> PseudoRandom(size_t n)
{
    std::vector<unsigned char> out(n);
    uint32_t x = 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        out[i] = (unsigned char)((x >> 16) & 0xff);
    }
    return out;
}

TEST(Md5, Rfc1321Suite)
{
    for (const Case &c : kSuite) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(c.digest, DigestOf(c.message));
    }
}

TEST(Md5, RunsOfAnyLengthGiveTheSameDigest)
{
    std::string message;
    for (const Case &c : kSuite)
        message += c.message;
    message += message + message; // long enough to span several blocks
    const std::string whole = DigestOf(message);
    for (size_t run : {1, 63, 64, 65}) {
        SCOPED_TRACE(run);
        EXPECT_EQ(whole, DigestInRuns(message, run));
    }
}

TEST(Md5, FinalZeroesTheContext)
{
    MD5_CTX ctx;
    MD5_Init(&ctx);
    MD5_Update(&ctx, (const unsigned char *)"abc", 3);
    unsigned char digest[16];
    MD5_Final(digest, &ctx);
    const unsigned char *raw = (const unsigned char *)&ctx;
    for (size_t i = 0; i < sizeof(ctx); i++)
        ASSERT_EQ(0, raw[i]) << "byte " << i;
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Hex(digest));
}

TEST(Md5, BitCountCarriesIntoHighWord)
{
    MD5_CTX ctx;
    MD5_Init(&ctx);
    ctx.count[0] = 0xFFFFFFF8u;
    MD5_Update(&ctx, (const unsigned char *)"xy", 2);
    EXPECT_EQ(8u, ctx.count[0]);
    EXPECT_EQ(1u, ctx.count[1]);
}

// MD5 of the concatenated digests of every prefix (lengths 0..1000) of
// a pseudo-random buffer; the constant was worked out with an
// independent MD5. Any slip in padding, buffering or a round shows.
TEST(Md5, DigestsOfEveryPrefix)
{
    const std::vector<unsigned char> data = PseudoRandom(1000);
    MD5_CTX all;
    MD5_Init(&all);
    for (uint32_t n = 0; n <= data.size(); n++) {
        unsigned char digest[16];
        MDString(data.data(), n, digest);
        MD5_Update(&all, digest, 16);
    }
    unsigned char digest[16];
    MD5_Final(digest, &all);
    EXPECT_EQ("fb5e1dfaf074028b865ba22d31f3715a", Hex(digest));
}

} // namespace
