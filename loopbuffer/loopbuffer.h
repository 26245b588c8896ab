// A fixed-size byte ring that keeps the newest bytes written to it.
#ifndef LOOPBUFFER_LOOPBUFFER_H
#define LOOPBUFFER_LOOPBUFFER_H

#include <stdint.h>

struct LoopBuffer {
    unsigned char *mem;
    uint32_t size;
    uint32_t start;
    uint32_t count;
};

struct LoopBufferSegment {
    unsigned char *addr;
    uint32_t len;
};

unsigned char *LoopBufferInit(LoopBuffer *lb, int32_t size);
void LoopBufferUninit(LoopBuffer *lb);
uint32_t LoopBufferGetCount(const LoopBuffer *lb);
uint32_t LoopBufferRead(const LoopBuffer *lb, void *dest, uint32_t n);
uint32_t LoopBufferWrite(LoopBuffer *lb, const void *src, uint32_t n);
int LoopBufferGetPtr(const LoopBuffer *lb, LoopBufferSegment seg[2]);

#endif
