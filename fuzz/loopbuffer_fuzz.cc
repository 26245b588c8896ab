// Drives the loop buffer with random operations and checks it against a
// naive model that keeps every byte in a deque and trims the oldest.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <vector>

#include "loopbuffer.h"

namespace {

struct Input {
    const uint8_t *p;
    size_t left;
    uint8_t byte() { return left ? (left--, *p++) : 0; }
};

void check(const LoopBuffer &lb, const std::deque<uint8_t> &model, uint32_t cap)
{
    if (lb.count != model.size() || lb.size != cap || (cap && lb.start >= cap))
        abort();
    LoopBufferSegment seg[2];
    int n = LoopBufferGetPtr(&lb, seg);
    if (n != 1 && n != 2)
        abort();
    std::vector<uint8_t> got;
    for (int i = 0; i < n; i++) {
        if (seg[i].len && (seg[i].addr < lb.mem || seg[i].addr + seg[i].len > lb.mem + lb.size))
            abort();
        got.insert(got.end(), seg[i].addr, seg[i].addr + seg[i].len);
    }
    if (n == 2 && (seg[0].len == 0 || seg[1].len == 0))
        abort();
    if (!std::equal(got.begin(), got.end(), model.begin(), model.end()))
        abort();
}

void checkRead(const LoopBuffer &lb, const std::deque<uint8_t> &model, uint32_t n)
{
    std::vector<uint8_t> out(n + 1, 0xAA);
    uint32_t got = LoopBufferRead(&lb, out.data(), n);
    if (got != (n < model.size() ? n : model.size()) || out[n] != 0xAA)
        abort();
    if (!std::equal(out.begin(), out.begin() + got, model.begin()))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in = {data, size};
    int32_t cap = in.byte() % 64 - 4; // a few sizes of 0 and less
    LoopBuffer lb;
    LoopBufferInit(&lb, cap);
    uint32_t ucap = cap > 0 ? static_cast<uint32_t>(cap) : 0;
    std::deque<uint8_t> model;
    while (in.left) {
        uint8_t op = in.byte();
        if (op % 3 == 2) {
            checkRead(lb, model, in.byte() % 80);
            continue;
        }
        uint32_t n = in.byte() % 160;
        std::vector<uint8_t> src(n);
        for (uint32_t i = 0; i < n; i++)
            src[i] = in.byte();
        if (LoopBufferWrite(&lb, src.data(), n) != n)
            abort();
        model.insert(model.end(), src.begin(), src.end());
        while (model.size() > ucap)
            model.pop_front();
        check(lb, model, ucap);
    }
    LoopBufferUninit(&lb);
    LoopBufferUninit(&lb);
    return 0;
}
