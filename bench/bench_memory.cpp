#include "bench_memory.h"

#include <malloc.h>

#include "ZUVPool.h"

void keepFreedMemory() {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_TOP_PAD, 64 << 20);
}

size_t heapInUse() {
    struct mallinfo2 info = mallinfo2();
    // Our trees live in pool blocks carved from slabs that malloc counts as
    // in use, free or not: count the blocks in use instead of the slabs, so
    // a tree built from blocks an earlier tree gave back is not counted as
    // free, nor a fresh slab's unused tail as taken.
    long pool = ZUVPool::getBytesInUse() - static_cast<long>(ZUVPool::getSlabBytes());
    return static_cast<size_t>(static_cast<long>(info.uordblks + info.hblkhd) + pool);
}
