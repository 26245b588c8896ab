#include "loopbuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string readAll(const LoopBuffer *lb, uint32_t n = 1u << 20)
{
    std::vector<char> out(n);
    return std::string(out.data(), LoopBufferRead(lb, out.data(), n));
}

// The segments as "offset:bytes", oldest first, e.g. "2:cdefgh 0:ij".
std::string segments(const LoopBuffer *lb)
{
    LoopBufferSegment seg[2];
    int n = LoopBufferGetPtr(lb, seg);
    std::string s;
    for (int i = 0; i < n; i++)
        s += (i ? " " : "") + std::to_string(seg[i].addr - lb->mem) + ":" +
             std::string(reinterpret_cast<const char *>(seg[i].addr), seg[i].len);
    return s;
}

TEST(LoopBuffer, WritesThenReadsAndSegments)
{
    struct Case {
        const char *name;
        int32_t size;
        std::vector<std::string> writes;
        std::string want;
        const char *segs;
        const char *mem; // the whole storage, where it is all written
    };
    const Case cases[] = {
        {"fresh: one empty segment", 8, {}, "", "0:"},
        {"a..f then g..j", 8, {"abcdef", "ghij"}, "cdefghij", "2:cdefgh 0:ij", "ijcdefgh"},
        {"exactly full", 8, {"12345678"}, "12345678", "0:12345678"},
        {"a write over capacity keeps its tail", 8, {"abcdefghijk"}, "defghijk", "0:defghijk"},
        {"and resets start", 8, {"abcdef", "ghij", "0123456789"}, "23456789", "0:23456789"},
        {"zero-byte write changes nothing", 8, {"abc", ""}, "abc", "0:abc"},
        {"one byte over", 8, {"abcdefgh", "i"}, "bcdefghi", "1:bcdefgh 0:i", "ibcdefgh"},
        {"small writes", 8, {"ab", "cd", "ef", "gh", "ij", "kl", "m"}, "fghijklm", "5:fgh 0:ijklm"},
        {"write ends at start", 8, {"abcdef", "gh", "ijklmn"}, "ghijklmn", "6:gh 0:ijklmn"},
        {"capacity 0", 0, {"hello", ""}, "", "0:"},
        {"negative capacity", -1, {"hello"}, "", "0:"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LoopBuffer lb;
        LoopBufferInit(&lb, c.size);
        EXPECT_EQ(lb.mem == nullptr, c.size <= 0);
        EXPECT_EQ(lb.size, c.size > 0 ? static_cast<uint32_t>(c.size) : 0u);
        for (const std::string &w : c.writes)
            EXPECT_EQ(LoopBufferWrite(&lb, w.data(), w.size()), w.size());
        EXPECT_EQ(LoopBufferGetCount(&lb), c.want.size());
        EXPECT_EQ(segments(&lb), c.segs);
        EXPECT_EQ(readAll(&lb, 5), c.want.substr(0, 5)); // cut at n, also across the wrap
        EXPECT_EQ(readAll(&lb), c.want);
        EXPECT_EQ(readAll(&lb), c.want); // a read does not consume
        if (c.mem)
            EXPECT_EQ(std::string(reinterpret_cast<char *>(lb.mem), 8), c.mem);
        LoopBufferUninit(&lb);
    }
}

TEST(LoopBuffer, UninitTwiceIsHarmlessAndInitAgainWorks)
{
    LoopBuffer lb;
    ASSERT_NE(LoopBufferInit(&lb, 16), nullptr);
    LoopBufferUninit(&lb);
    EXPECT_EQ(lb.mem, nullptr);
    EXPECT_EQ(lb.size, 16u);
    LoopBufferUninit(&lb);
    EXPECT_EQ(lb.mem, nullptr);
    ASSERT_NE(LoopBufferInit(&lb, 4), nullptr);
    EXPECT_EQ(LoopBufferGetCount(&lb), 0u);
    LoopBufferWrite(&lb, "abcdef", 6);
    EXPECT_EQ(readAll(&lb), "cdef");
    LoopBufferUninit(&lb);
}

} // namespace
