#include "loopbuffer.h"

#include <stdlib.h>
#include <string.h>

unsigned char *LoopBufferInit(LoopBuffer *lb, int32_t size)
{
    // A size of 0 or less gives a buffer without capacity; a negative size
    // must not reach malloc, where it would turn into a huge request.
    lb->mem = size > 0 ? static_cast<unsigned char *>(malloc(static_cast<size_t>(size))) : NULL;
    lb->size = lb->mem ? static_cast<uint32_t>(size) : 0;
    lb->start = 0;
    lb->count = 0;
    return lb->mem;
}

void LoopBufferUninit(LoopBuffer *lb)
{
    if (lb->mem) {
        free(lb->mem);
        lb->mem = NULL;
    }
}

uint32_t LoopBufferGetCount(const LoopBuffer *lb)
{
    return lb->count;
}

uint32_t LoopBufferRead(const LoopBuffer *lb, void *dest, uint32_t n)
{
    unsigned char *out = static_cast<unsigned char *>(dest);
    uint32_t m = n < lb->count ? n : lb->count;
    if (m == 0)
        return 0;
    if (lb->start + lb->count <= lb->size) {
        memcpy(out, lb->mem + lb->start, m);
        return m;
    }
    uint32_t tail = lb->size - lb->start;
    uint32_t a = m < tail ? m : tail;
    uint32_t wrapped = lb->start + lb->count - lb->size;
    uint32_t b = m - a < wrapped ? m - a : wrapped;
    memcpy(out, lb->mem + lb->start, a);
    if (b > 0)
        memcpy(out + a, lb->mem, b);
    return a + b;
}

// Invariants, kept by every write:
//   size == 0 (no storage: nothing is ever held), or start < size;
//   count <= size;
//   the content, oldest first, is the count bytes at start, start+1, ...
//   modulo size, and it wraps when start + count > size.
// Sums stay below 2 * size, so they can't wrap around 2^32 for any size
// an int32_t can ask for.
// A write copies in at most two pieces and never allocates.
uint32_t LoopBufferWrite(LoopBuffer *lb, const void *src, uint32_t n)
{
    const unsigned char *in = static_cast<const unsigned char *>(src);
    if (n >= lb->size) {
        // Only the tail of this one write survives.
        if (lb->size > 0)
            memcpy(lb->mem, in + (n - lb->size), lb->size);
        lb->start = 0;
        lb->count = lb->size;
        return n;
    }
    uint32_t w = (lb->start + lb->count) % lb->size;
    uint32_t room = lb->size - w;
    uint32_t k = n < room ? n : room;
    if (k > 0)
        memcpy(lb->mem + w, in, k);
    if (n > k)
        memcpy(lb->mem, in + k, n - k);
    lb->count += n;
    if (lb->count > lb->size) {
        // The oldest bytes were overwritten: the oldest left is the one
        // just after the newest, (start + count) mod size, taken from w.
        lb->start = (w + n) % lb->size;
        lb->count = lb->size;
    }
    return n;
}

int LoopBufferGetPtr(const LoopBuffer *lb, LoopBufferSegment seg[2])
{
    if (lb->start + lb->count <= lb->size) {
        seg[0].addr = lb->mem + lb->start;
        seg[0].len = lb->count;
        return 1;
    }
    seg[0].addr = lb->mem + lb->start;
    seg[0].len = lb->size - lb->start;
    seg[1].addr = lb->mem;
    seg[1].len = lb->start + lb->count - lb->size;
    return 2;
}
