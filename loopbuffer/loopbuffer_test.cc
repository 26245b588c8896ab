#include "loopbuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ScopedBuffer {
    LoopBuffer lb;
    explicit ScopedBuffer(int32_t size) { LoopBufferInit(&lb, size); }
    ~ScopedBuffer() { LoopBufferUninit(&lb); }
};

void write(LoopBuffer *lb, const std::string &s)
{
    EXPECT_EQ(LoopBufferWrite(lb, s.data(), s.size()), s.size());
}

std::string readAll(const LoopBuffer *lb, uint32_t n = 1u << 20)
{
    std::vector<char> out(n);
    uint32_t got = LoopBufferRead(lb, out.data(), n);
    return std::string(out.data(), got);
}

// The content as the segments describe it, oldest first.
std::string segments(const LoopBuffer *lb, int *nseg)
{
    LoopBufferSegment seg[2];
    *nseg = LoopBufferGetPtr(lb, seg);
    std::string s;
    for (int i = 0; i < *nseg; i++)
        s.append(reinterpret_cast<const char *>(seg[i].addr), seg[i].len);
    return s;
}

TEST(LoopBuffer, FreshBufferIsEmpty)
{
    ScopedBuffer b(8);
    ASSERT_NE(b.lb.mem, nullptr);
    EXPECT_EQ(b.lb.size, 8u);
    LoopBufferSegment seg[2];
    ASSERT_EQ(LoopBufferGetPtr(&b.lb, seg), 1);
    EXPECT_EQ(seg[0].len, 0u);
    char out[8];
    EXPECT_EQ(LoopBufferRead(&b.lb, out, sizeof out), 0u);
    EXPECT_EQ(LoopBufferGetCount(&b.lb), 0u);
}

TEST(LoopBuffer, OverflowKeepsNewestAtTheRightOffsets)
{
    ScopedBuffer b(8);
    write(&b.lb, "abcdef");
    write(&b.lb, "ghij");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b.lb.mem), 8), "ijcdefgh");
    EXPECT_EQ(b.lb.start, 2u);
    EXPECT_EQ(b.lb.count, 8u);
    LoopBufferSegment seg[2];
    ASSERT_EQ(LoopBufferGetPtr(&b.lb, seg), 2);
    EXPECT_EQ(seg[0].addr, b.lb.mem + 2);
    EXPECT_EQ(seg[0].len, 6u);
    EXPECT_EQ(seg[1].addr, b.lb.mem);
    EXPECT_EQ(seg[1].len, 2u);
    EXPECT_EQ(readAll(&b.lb, 8), "cdefghij");
}

TEST(LoopBuffer, WriteSequences)
{
    struct Case {
        const char *name;
        std::vector<std::string> writes;
        std::string want;
        uint32_t start;
        int nseg;
    };
    const Case cases[] = {
        {"exactly full", {"12345678"}, "12345678", 0, 1},
        {"one large write keeps its tail", {"abcdefghijk"}, "defghijk", 0, 1},
        {"large write after a wrap resets start", {"abcdef", "ghij", "0123456789"},
         "23456789", 0, 1},
        {"zero-byte write changes nothing", {"abc", ""}, "abc", 0, 1},
        {"fills up to the end without wrapping", {"abc", "defgh"}, "abcdefgh", 0, 1},
        {"one byte over", {"abcdefgh", "i"}, "bcdefghi", 1, 2},
        {"wrap lands the newest byte at the end", {"abcde", "fghijklm"}, "fghijklm", 0, 1},
        {"many small writes", {"ab", "cd", "ef", "gh", "ij", "kl", "m"}, "fghijklm", 5, 2},
        {"partial then write that ends exactly at start", {"abcdef", "gh", "ijklmn"},
         "ghijklmn", 6, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScopedBuffer b(8);
        for (const std::string &w : c.writes)
            write(&b.lb, w);
        EXPECT_EQ(readAll(&b.lb), c.want);
        EXPECT_EQ(b.lb.start, c.start);
        EXPECT_EQ(LoopBufferGetCount(&b.lb), c.want.size());
        int nseg = 0;
        EXPECT_EQ(segments(&b.lb, &nseg), c.want);
        EXPECT_EQ(nseg, c.nseg);
    }
}

TEST(LoopBuffer, ReadDoesNotConsume)
{
    ScopedBuffer b(8);
    write(&b.lb, "abcdefgh");
    write(&b.lb, "xyz"); // wraps: "defghxyz"
    char out[5];
    ASSERT_EQ(LoopBufferRead(&b.lb, out, 5), 5u);
    EXPECT_EQ(std::string(out, 5), "defgh");
    ASSERT_EQ(LoopBufferRead(&b.lb, out, 5), 5u);
    EXPECT_EQ(std::string(out, 5), "defgh");
    EXPECT_EQ(readAll(&b.lb, 7), "defghxy"); // across the wrap, cut at n
    EXPECT_EQ(readAll(&b.lb, 100), "defghxyz");
    EXPECT_EQ(readAll(&b.lb, 100), "defghxyz");
}

TEST(LoopBuffer, WithoutCapacityAcceptsAndKeepsNothing)
{
    for (int32_t size : {0, -1, -8192, INT32_MIN}) {
        SCOPED_TRACE(size);
        LoopBuffer lb;
        EXPECT_EQ(LoopBufferInit(&lb, size), nullptr);
        EXPECT_EQ(lb.size, 0u);
        EXPECT_EQ(LoopBufferWrite(&lb, "hello", 5), 5u);
        EXPECT_EQ(LoopBufferWrite(&lb, "", 0), 0u);
        EXPECT_EQ(LoopBufferGetCount(&lb), 0u);
        LoopBufferSegment seg[2];
        ASSERT_EQ(LoopBufferGetPtr(&lb, seg), 1);
        EXPECT_EQ(seg[0].len, 0u);
        char out[4];
        EXPECT_EQ(LoopBufferRead(&lb, out, sizeof out), 0u);
        LoopBufferUninit(&lb);
    }
}

TEST(LoopBuffer, UninitTwiceIsHarmlessAndInitAgainWorks)
{
    LoopBuffer lb;
    ASSERT_NE(LoopBufferInit(&lb, 16), nullptr);
    write(&lb, "abc");
    LoopBufferUninit(&lb);
    EXPECT_EQ(lb.mem, nullptr);
    EXPECT_EQ(lb.size, 16u);
    LoopBufferUninit(&lb);
    EXPECT_EQ(lb.mem, nullptr);
    ASSERT_NE(LoopBufferInit(&lb, 4), nullptr);
    EXPECT_EQ(LoopBufferGetCount(&lb), 0u);
    write(&lb, "abcdef");
    EXPECT_EQ(readAll(&lb), "cdef");
    LoopBufferUninit(&lb);
}

TEST(LoopBuffer, DefaultRelaySizeKeepsNewestBytesOverManyWrites)
{
    ScopedBuffer b(8192);
    std::string all;
    for (int i = 0; i < 1000; i++) {
        std::string line = "line " + std::to_string(i) + std::string(i % 97, '.') + "\n";
        write(&b.lb, line);
        all += line;
    }
    EXPECT_EQ(readAll(&b.lb), all.substr(all.size() - 8192));
    int nseg = 0;
    EXPECT_EQ(segments(&b.lb, &nseg), all.substr(all.size() - 8192));
}

} // namespace
