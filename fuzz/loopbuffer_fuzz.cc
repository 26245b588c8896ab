// Random writes and reads against a naive model that keeps every byte and trims the oldest.
#include <stdlib.h>

#include <algorithm>
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
        std::vector<uint8_t> buf(n + 1, 0xAA), held; // buf[n] must stay untouched
        for (uint32_t i = 0; write && i < n; i++)
            buf[i] = byte();
        if (write && LoopBufferWrite(&lb, buf.data(), n) == n)
            model.insert(model.end(), buf.begin(), buf.begin() + n);
        model.erase(model.begin(), model.end() - std::min<size_t>(model.size(), std::max(cap, 0)));
        uint32_t got = write ? 0 : LoopBufferRead(&lb, buf.data(), n);
        LoopBufferSegment seg[2]; // read out of the storage, which ASan bounds
        for (int i = 0, segs = LoopBufferGetPtr(&lb, seg); i < segs && segs <= 2; i++)
            held.insert(held.end(), seg[i].addr, seg[i].addr + seg[i].len);
        bool read_ok = got == (write ? 0 : std::min<size_t>(n, model.size())) && buf[n] == 0xAA;
        if (!read_ok || lb.count != model.size() || !std::equal(buf.begin(), buf.begin() + got,
                model.begin()) || !std::equal(held.begin(), held.end(), model.begin(), model.end()))
            abort();
    }
    LoopBufferUninit(&lb);
    return 0;
}
