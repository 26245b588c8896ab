// Drives the loop buffer with random writes and reads and checks it against
// a naive model that keeps every byte and trims the oldest.
#include <stdint.h>
#include <stdlib.h>

#include <deque>
#include <vector>

#include "loopbuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *end = data + size;
    auto byte = [&] { return data < end ? *data++ : 0; };
    int32_t cap = byte() % 64 - 4; // a few sizes of 0 and less
    LoopBuffer lb;
    LoopBufferInit(&lb, cap);
    std::deque<uint8_t> model;
    while (data < end) {
        bool write = byte() % 3 != 2;
        uint32_t n = byte() % (write ? 160 : 80);
        std::vector<uint8_t> buf(n + 1, 0xAA);
        if (!write) {
            uint32_t got = LoopBufferRead(&lb, buf.data(), n);
            if (got != std::min<size_t>(n, model.size()) || buf[n] != 0xAA || !std::equal(buf.begin(), buf.begin() + got, model.begin()))
                abort();
            continue;
        }
        for (uint32_t i = 0; i < n; i++)
            buf[i] = byte();
        if (LoopBufferWrite(&lb, buf.data(), n) != n)
            abort();
        model.insert(model.end(), buf.begin(), buf.begin() + n);
        while (model.size() > (cap > 0 ? (size_t)cap : 0))
            model.pop_front();
        LoopBufferSegment seg[2];
        int segs = LoopBufferGetPtr(&lb, seg);
        std::vector<uint8_t> held;
        for (int i = 0; i < segs && segs <= 2; i++) {
            if ((seg[i].len && (seg[i].addr < lb.mem || seg[i].addr + seg[i].len > lb.mem + lb.size)) || (segs == 2 && !seg[i].len))
                abort();
            held.insert(held.end(), seg[i].addr, seg[i].addr + seg[i].len);
        }
        if (segs < 1 || segs > 2 || lb.count != model.size() || lb.size != (cap > 0 ? (uint32_t)cap : 0) ||
            (lb.size && lb.start >= lb.size) || !std::equal(held.begin(), held.end(), model.begin(), model.end()))
            abort();
    }
    LoopBufferUninit(&lb);
    LoopBufferUninit(&lb);
    return 0;
}
