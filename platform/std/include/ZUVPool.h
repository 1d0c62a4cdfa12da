// ZUVPool: the allocator behind the small objects of a document tree.
#ifndef ZUVPOOL_H
#define ZUVPOOL_H

#include <cstddef>
#include <cstdint>

#include "ZUVStdExport.h"

// Hands out blocks of up to kMaxBlock bytes from pages of kSlabSize bytes,
// with no per-block header, rounded only to 8 bytes; larger requests go to
// malloc. A tree is mostly such blocks (elements, strings, small lists and
// tables), and this makes building and freeing one several times cheaper
// than malloc, and smaller.
//
// Policy. Each thread bump-allocates from a current page of its own, in the
// order it asks, so a tree is laid out in the order it is built whatever
// else is alive; blocks released into that page are reused before it is
// left. Every page counts its live blocks, and a block may be released on
// any thread: the page whose last block goes, on whatever thread, returns
// to one cache of empty pages shared by all threads, and the next page any
// thread needs is the one emptied last. (A thread counts its releases page
// by page: the last page it released into is settled when it releases into
// another, takes a page, trims or ends.) A thread that ends leaves its page
// the same way, so nothing is stranded with it. The cost: a page is reused
// only when all its blocks are free, so one block kept alive holds its page.
// Empty pages stay mapped, to be reused without a page fault, up to
// getReserve() bytes; those above it that have lain unused for
// kDecayMilliseconds go back to the system (MADV_DONTNEED), checked on the
// pool calls that take or empty a page, on any thread, or at once by trim().
// Pages are carved from 2 MB segments; past the first, huge pages are asked
// for.
//
// The one thread-local variable is a pointer in the initial-exec TLS model,
// which the fast paths read without a call. It is safe in a library loaded
// with dlopen: glibc keeps a surplus of static TLS for such libraries, and
// 8 bytes fit in it; the thread's state itself is on the heap.
//
// Builds with AddressSanitizer keep the pool and poison every byte it holds
// free, so a use after release, or a read past the bytes asked for, is
// caught in the allocator that ships; releasing a block twice stops the
// program.
class ZUVSTD_API ZUVPool {
public:
    // Largest request served from slabs.
    static constexpr size_t kMaxBlock = 256;
    //@{
    // Bytes of a page, and of the segments that pages are carved from.
    static constexpr size_t kSlabSize = 64 * 1024;
    static constexpr size_t kLargeSlabSize = 2 * 1024 * 1024;
    //@}
    // Bytes of empty pages kept, by default, however long they lie unused.
    static constexpr size_t kDefaultReserve = 16 * kSlabSize;
    // How long an empty page above the reserve waits before it goes back to
    // the system: long enough that a loop of parse and free reuses it.
    static constexpr long kDecayMilliseconds = 1000;

    // A block of at least `bytes` bytes, 8-aligned (16-aligned above
    // kMaxBlock). Throws std::bad_alloc when memory runs out.
    static void* allocate(size_t bytes);
    // As allocate(), inline: a bump of this thread's current page when it
    // has room, else allocate(). For the tree's small objects, whose sizes
    // are constants.
    static inline void* allocateFast(size_t bytes);
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
    // kMaxBlock). The rest is reused at once when the block lies in this
    // thread's current page, else when its page empties. Allocates nothing,
    // so it cannot fail: for containers trimming the room they grew for more.
    static void* shrink(void* block, size_t oldBytes, size_t newBytes) noexcept;

    // Bytes in blocks allocated and not yet released on this thread.
    static long getBytesInUse();
    // Blocks allocated and not yet released, on all threads together.
    static long getBlocksInUse();
    // Bytes of pages the pool holds from the system now, in use or empty,
    // by all threads together; pages given back are not counted.
    static size_t getSlabBytes();
    //@{
    // Bytes of empty pages kept however long they lie unused; those above
    // go back to the system after kDecayMilliseconds. A program that frees
    // and rebuilds big trees at long intervals may keep more, to spare the
    // system the work of mapping them again.
    static void setReserve(size_t bytes);
    static size_t getReserve();
    //@}
    // Gives back to the system now every empty page above the reserve, as
    // the pool does by itself once they have lain unused a while; for a
    // program that freed a big tree and will not need the memory soon.
    static void trim() noexcept;

    // For tests: the `n`-th allocation from now on this thread (allocate or
    // reallocate, large or small) throws std::bad_alloc; 0 cancels. Not part
    // of the library's interface.
    static void failAllocation(long n);
    // For tests: true while the failure set by failAllocation() has not
    // happened yet (the work made fewer allocations than asked).
    static bool failurePending();

    // The part of a thread's state that allocateFast() reads and writes; the
    // pool's own, not part of the library's interface.
    struct Bump {
        // The next unused byte of the current page.
        char* next;
        // The end of the room allocateFast() may take; null: none.
        char* end;
        // Blocks handed out of the current page.
        long used;
        // Bytes allocated minus bytes released on this thread.
        long inUse;
        // The same in blocks; other threads read it with __atomic loads.
        long blocks;
    };
};

// This thread's Bump: null until its first allocation, after it ends, and
// always when the pool poisons what it holds free.
extern ZUVSTD_API __thread ZUVPool::Bump* zuvPoolBump __attribute__((tls_model("initial-exec")));

inline void* ZUVPool::allocateFast(size_t bytes) {
    Bump* b = zuvPoolBump;
    size_t size = (bytes + 7) & ~static_cast<size_t>(7);
    // bytes - 1 wraps for 0, which allocate() serves. A null end leaves a
    // negative room: user addresses are below half the address space.
    if (__builtin_expect(b && bytes - 1 < kMaxBlock &&
                             static_cast<intptr_t>(reinterpret_cast<uintptr_t>(b->end) -
                                                   reinterpret_cast<uintptr_t>(b->next)) >=
                                 static_cast<intptr_t>(size),
                         1)) {
        char* block = b->next;
        b->next = block + size;
        ++b->used;
        b->inUse += static_cast<long>(size);
        __atomic_store_n(&b->blocks, b->blocks + 1, __ATOMIC_RELAXED);
        return block;
    }
    return allocate(bytes);
}

#endif
