#include "loopbuffer.h"

#include <gtest/gtest.h>

// After the writes: the count, the segments as "offset:bytes" oldest first, reads of 5 and of all.
TEST(LoopBuffer, KeepsTheNewestBytes)
{
    const struct { int32_t size; std::vector<std::string> writes; const char *want; } cases[] = {
        {0, {"h", ""}, "0 0: | /"}, {-1, {"h"}, "0 0: | /"}, {8, {"abc", ""}, "3 0:abc | abc/abc"},
        {8, {"abcdef", "ghij"}, "8 2:cdefgh 0:ij | cdefg/cdefghij"},
        {8, {"abcdef", "ghij", "0123456789"}, "8 0:23456789 | 23456/23456789"},
        {8, {"abcdefgh", "i"}, "8 1:bcdefgh 0:i | bcdef/bcdefghi"}, {2, {"12"}, "2 0:12 | 12/12"},
        {8, {"abcdef", "gh", "ijklmn"}, "8 6:gh 0:ijklmn | ghijk/ghijklmn"}};
    for (const auto &c : cases) {
        LoopBuffer lb;
        EXPECT_EQ(LoopBufferInit(&lb, c.size) == nullptr, c.size <= 0);
        for (const std::string &w : c.writes)
            EXPECT_EQ(LoopBufferWrite(&lb, w.data(), w.size()), w.size());
        LoopBufferSegment seg[2];
        std::string got = std::to_string(LoopBufferGetCount(&lb)) + " ";
        for (int i = 0, n = LoopBufferGetPtr(&lb, seg); i < n; i++)
            got += std::to_string(seg[i].addr - lb.mem) + ":"
                + std::string((char *)seg[i].addr, seg[i].len) + " ";
        char out[9];
        got += "| " + std::string(out, LoopBufferRead(&lb, out, 5)) + "/"
            + std::string(out, LoopBufferRead(&lb, out, 9));
        EXPECT_EQ(got, c.want) << c.writes.size() << " writes into " << c.size;
        LoopBufferUninit(&lb);
    }
}
