// ZUVPool: the allocator behind the small objects of a document tree.
#ifndef ZUVPOOL_H
#define ZUVPOOL_H

#include <cstddef>

#include "ZUVStdExport.h"

// Hands out blocks of up to kMaxBlock bytes from 64 KB slabs, with no
// per-block header, rounded only to 8 bytes; larger requests go to malloc.
// A tree is mostly such blocks (elements, strings, small lists and tables),
// and this makes building and freeing one several times cheaper than
// malloc, and smaller.
//
// Each thread keeps its own free lists, so nothing is locked; a block may be
// released on any thread. When a thread ends, its free blocks are handed to
// the threads that go on. Slab memory is kept for reuse and never returned
// to the system: a program's footprint is its largest set of trees at once.
// Builds with AddressSanitizer use malloc for every block, so that it keeps
// catching use after free.
class ZUVSTD_API ZUVPool {
public:
    // Largest request served from slabs.
    static constexpr size_t kMaxBlock = 256;
    // Bytes taken from malloc at a time.
    static constexpr size_t kSlabSize = 64 * 1024;

    // A block of at least `bytes` bytes, 8-aligned (16-aligned above
    // kMaxBlock). Throws std::bad_alloc when memory runs out.
    static void* allocate(size_t bytes);
    // Gives back a block from allocate(); `bytes` must be the size asked for
    // then. Null is ignored.
    static void release(void* block, size_t bytes) noexcept;
    // Moves a block to a new size, keeping the first min(oldBytes, newBytes)
    // bytes; the old block is released. A null block is allocated anew.
    static void* reallocate(void* block, size_t oldBytes, size_t newBytes);

    // Bytes in blocks allocated and not yet released on this thread.
    static long getBytesInUse();
    // Bytes of slabs taken from malloc by all threads so far.
    static size_t getSlabBytes();
};

#endif
