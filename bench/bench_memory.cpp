#include "bench_memory.h"

#include <malloc.h>

#include "ZUVPool.h"

void keepFreedMemory() {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_TOP_PAD, 64 << 20);
    // And our pool keeps its slabs mapped likewise.
    ZUVPool::setReserve(static_cast<size_t>(1) << 40);
}

size_t heapInUse() {
    struct mallinfo2 info = mallinfo2();
    // Our trees live in pool blocks carved from slabs mapped apart from
    // malloc: count the blocks in use, so that a tree built from blocks an
    // earlier tree gave back is not counted as free, nor a fresh slab's
    // unused tail as taken.
    return info.uordblks + info.hblkhd + static_cast<size_t>(ZUVPool::getBytesInUse());
}
