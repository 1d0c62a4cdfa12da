// ZUVPool: the allocator behind the small objects of a document tree.
#ifndef ZUVPOOL_H
#define ZUVPOOL_H

#include <cstddef>

#include "ZUVStdExport.h"

// Hands out blocks of up to kMaxBlock bytes from slabs mapped from the
// system, with no per-block header, rounded only to 8 bytes; larger requests
// go to malloc. A thread's first slabs are 64 KB; as it uses more they grow
// to 2 MB, backed by huge pages where the system offers them. A tree is
// mostly such blocks (elements, strings, small lists and tables), and this
// makes building and freeing one several times cheaper than malloc, and
// smaller.
//
// Each thread keeps its own free lists, so nothing is locked; a block may be
// released on any thread. When a thread ends, its free blocks are handed to
// the threads that go on. While only one thread has used the pool, the
// moment its last block comes back the slabs are started over and all but
// getReserve() bytes of them go back to the system, so a program that read
// one big document does not keep its memory.
//
// Builds with AddressSanitizer keep the pool and poison every byte it holds
// free, so a use after release, or a read past the bytes asked for, is
// caught in the allocator that ships; releasing a block twice stops the
// program.
class ZUVSTD_API ZUVPool {
public:
    // Largest request served from slabs.
    static constexpr size_t kMaxBlock = 256;
    // Bytes of a thread's first slab, and the most its slabs grow to.
    static constexpr size_t kSlabSize = 64 * 1024;
    static constexpr size_t kLargeSlabSize = 2 * 1024 * 1024;
    // Slab bytes kept mapped, by default, once every block is free.
    static constexpr size_t kDefaultReserve = 16 * kSlabSize;

    // A block of at least `bytes` bytes, 8-aligned (16-aligned above
    // kMaxBlock). Throws std::bad_alloc when memory runs out.
    static void* allocate(size_t bytes);
    // Gives back a block from allocate(); `bytes` must be the size asked for
    // then. Null is ignored.
    static void release(void* block, size_t bytes) noexcept;
    // Moves a block to a new size, keeping the first min(oldBytes, newBytes)
    // bytes; the old block is released. A null block is allocated anew. On
    // failure the old block is left as it was.
    static void* reallocate(void* block, size_t oldBytes, size_t newBytes);

    // Shrinks a block from allocate() to `newBytes` (below `oldBytes`, the
    // size asked for then) and gives the rest back; from then on its size is
    // `newBytes`. Returns the block, which moves only when it is larger than
    // kMaxBlock, or null when it stays as it was (a block that would cross
    // kMaxBlock, or one whose thread has ended). Allocates nothing, so it
    // cannot fail: for containers trimming the room they grew for more.
    static void* shrink(void* block, size_t oldBytes, size_t newBytes) noexcept;

    // Bytes in blocks allocated and not yet released on this thread.
    static long getBytesInUse();
    // Blocks allocated and not yet released, on all threads together.
    static long getBlocksInUse();
    // Bytes of slabs mapped now, by all threads together.
    static size_t getSlabBytes();
    // Slab bytes kept mapped when every block is free (rounded down to whole
    // slabs, the first ones mapped); what lies above goes back to the
    // system. A program that frees and rebuilds big trees in a loop may keep
    // more, to spare the system the work of mapping them again.
    static void setReserve(size_t bytes);
    static size_t getReserve();

    // For tests: the `n`-th allocation from now on this thread (allocate or
    // reallocate, large or small) throws std::bad_alloc; 0 cancels. Not part
    // of the library's interface.
    static void failAllocation(long n);
    // For tests: true while the failure set by failAllocation() has not
    // happened yet (the work made fewer allocations than asked).
    static bool failurePending();
};

#endif
