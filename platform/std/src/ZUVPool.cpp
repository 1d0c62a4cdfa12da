#include "ZUVPool.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define ZUVPOOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUVPOOL_ASAN 1
#endif
#endif

#ifdef ZUVPOOL_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr size_t kGrain = 8;
constexpr size_t kClasses = ZUVPool::kMaxBlock / kGrain;
// Each slab starts with a link to the thread's next slab and its own size,
// never poisoned.
constexpr size_t kSlabHeader = sizeof(char*) + sizeof(size_t);
// Huge pages are this size and alignment on x86-64.
constexpr size_t kHugePage = 2 * 1024 * 1024;
static_assert(ZUVPool::kLargeSlabSize % kHugePage == 0, "large slabs hold whole huge pages");

// What the pool holds free is poisoned under AddressSanitizer; the pool's
// own reads and writes of it open just the bytes they touch.
inline void poison(const void* p, size_t n) {
#ifdef ZUVPOOL_ASAN
    ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}
inline void unpoison(const void* p, size_t n) {
#ifdef ZUVPOOL_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

struct Block {
    Block* next;
};

inline Block* linkOf(Block* b) {
    unpoison(b, sizeof(Block));
    Block* next = b->next;
    poison(b, sizeof(Block));
    return next;
}
inline void setLink(Block* b, Block* next) {
    unpoison(b, sizeof(Block));
    b->next = next;
    poison(b, sizeof(Block));
}

inline char* nextSlab(char* slab) {
    char* next;
    std::memcpy(&next, slab, sizeof next);
    return next;
}
inline void setNextSlab(char* slab, char* next) {
    std::memcpy(slab, &next, sizeof next);
}
inline size_t slabSize(const char* slab) {
    size_t size;
    std::memcpy(&size, slab + sizeof(char*), sizeof size);
    return size;
}

inline size_t classOf(size_t bytes) {
    return bytes ? (bytes - 1) / kGrain : 0;
}
inline size_t classSize(size_t c) {
    return (c + 1) * kGrain;
}

// Free lists of threads that have ended, taken over whole by the next thread
// that runs short of that size.
std::atomic<Block*> orphans[kClasses];
std::atomic<size_t> slabBytes{0};
std::atomic<size_t> reserveBytes{ZUVPool::kDefaultReserve};
// Threads that have used the pool. While there is one, it can tell when all
// its blocks are free and start its slabs over (see rewind).
std::atomic<int> poolThreads{0};

void pushOrphans(size_t c, Block* first) noexcept {
    if (!first) return;
    Block* last = first;
    for (Block* next = linkOf(last); next; next = linkOf(last))
        last = next;
    Block* head = orphans[c].load(std::memory_order_relaxed);
    do {
        setLink(last, head);
    } while (!orphans[c].compare_exchange_weak(head, first, std::memory_order_release,
                                               std::memory_order_relaxed));
}

// Zero-initialised, so reaching it costs no guard on the fast paths.
struct ThreadPool {
    Block* free[kClasses];
    char* bump;     // next unused byte of the current slab
    char* bumpEnd;  // end of the current slab
    char* slab;     // current slab
    char* firstSlab;
    size_t chainBytes;         // bytes of the slabs from firstSlab on
    long inUse;                // bytes allocated minus bytes released on this thread
    std::atomic<long> blocks;  // the same in blocks; written by this thread only
    long failCountdown;        // see ZUVPool::failAllocation
    ThreadPool* previous;      // the registry of threads, for getBlocksInUse
    ThreadPool* next;
    bool registered;
    bool ended;
};

__attribute__((tls_model("initial-exec"))) thread_local ThreadPool pool;

std::mutex registryLock;
ThreadPool* registry = nullptr;
// Blocks counted by threads that have ended, and blocks of ended threads.
std::atomic<long> retiredBlocks{0};

// Only the owner writes its count, so a plain add suffices; the atomic lets
// getBlocksInUse read it from any thread.
inline void countBlocks(ThreadPool& p, long delta) {
    p.blocks.store(p.blocks.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

// Turns what is left of the current slab into free blocks, as large as fit,
// so that nothing is stranded when the slab is left or the thread ends.
void spillTail(ThreadPool& p) noexcept {
    while (p.bumpEnd - p.bump >= static_cast<long>(kGrain)) {
        size_t left = static_cast<size_t>(p.bumpEnd - p.bump);
        size_t c = classOf(left < ZUVPool::kMaxBlock ? left / kGrain * kGrain : ZUVPool::kMaxBlock);
        Block* b = reinterpret_cast<Block*>(p.bump);
        p.bump += classSize(c);
        setLink(b, p.free[c]);
        p.free[c] = b;
    }
}

void enterSlab(ThreadPool& p, char* slab) noexcept {
    p.slab = slab;
    p.bump = slab + kSlabHeader;
    p.bumpEnd = slab + slabSize(slab);
}

void* mapBytes(size_t size) {
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    return mapped;
}

// A large slab on huge-page boundaries, backed by huge pages where the
// system has them and filled in at once: one fault in place of one per 4 KB
// page, which is most of the cost of building a big tree in a fresh process.
char* mapLargeSlab(size_t size) {
    char* slab = static_cast<char*>(mapBytes(size));
    if (reinterpret_cast<uintptr_t>(slab) % kHugePage != 0) {
        munmap(slab, size);
        char* wide = static_cast<char*>(mapBytes(size + kHugePage));
        uintptr_t at = reinterpret_cast<uintptr_t>(wide);
        slab = wide + (kHugePage - at % kHugePage) % kHugePage;
        if (slab > wide) munmap(wide, static_cast<size_t>(slab - wide));
        munmap(slab + size, static_cast<size_t>(wide + kHugePage - slab));
    }
    // Advice only: without it the slab is plain pages, faulted as touched.
    madvise(slab, size, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    madvise(slab, size, MADV_POPULATE_WRITE);
#endif
    return slab;
}

// Slabs grow with the thread's use, from kSlabSize to kLargeSlabSize, so a
// small document maps little and a big one few large slabs.
char* mapSlab(ThreadPool& p) {
    size_t size = p.chainBytes < ZUVPool::kSlabSize        ? ZUVPool::kSlabSize
                  : p.chainBytes < ZUVPool::kLargeSlabSize ? p.chainBytes
                                                           : ZUVPool::kLargeSlabSize;
    char* slab =
        size < ZUVPool::kLargeSlabSize ? static_cast<char*>(mapBytes(size)) : mapLargeSlab(size);
    setNextSlab(slab, nullptr);
    std::memcpy(slab + sizeof(char*), &size, sizeof size);
    poison(slab + kSlabHeader, size - kSlabHeader);
    p.chainBytes += size;
    slabBytes.fetch_add(size, std::memory_order_relaxed);
    return slab;
}

void unmapSlab(char* slab) noexcept {
    size_t size = slabSize(slab);
    unpoison(slab, size);
    munmap(slab, size);
    slabBytes.fetch_sub(size, std::memory_order_relaxed);
}

// When every block this thread handed out is back, and no other thread ever
// used the pool, the free lists hold exactly the thread's blocks: forget
// them, give the slabs above the reserve back to the system and carve the
// rest again from the start. The next tree is then laid out in the order it
// is built, which its builder and its readers walk far faster than blocks
// scattered in the order the last tree was freed.
void rewind(ThreadPool& p) noexcept {
    std::memset(p.free, 0, sizeof p.free);
    size_t reserve = reserveBytes.load(std::memory_order_relaxed);
    char* last = nullptr;
    char* s = p.firstSlab;
    p.chainBytes = 0;
    while (s && p.chainBytes + slabSize(s) <= reserve) {
        poison(s + kSlabHeader, slabSize(s) - kSlabHeader);
        p.chainBytes += slabSize(s);
        last = s;
        s = nextSlab(s);
    }
    while (s) {
        char* next = nextSlab(s);
        unmapSlab(s);
        s = next;
    }
    if (last) {
        setNextSlab(last, nullptr);
        enterSlab(p, p.firstSlab);
    } else {
        p.firstSlab = p.slab = p.bump = p.bumpEnd = nullptr;
    }
}

// Hands the thread's free blocks on when it ends. Touched only on the slow
// path, so the fast paths never check whether it was constructed.
struct Reaper {
    ~Reaper() {
        ThreadPool& p = pool;
        p.ended = true;
        spillTail(p);
        // Slabs not reached since the last rewind become blocks too.
        for (char* s = p.slab ? nextSlab(p.slab) : nullptr; s; s = nextSlab(s)) {
            enterSlab(p, s);
            spillTail(p);
        }
        for (size_t c = 0; c < kClasses; ++c) {
            pushOrphans(c, p.free[c]);
            p.free[c] = nullptr;
        }
        std::lock_guard<std::mutex> lock(registryLock);
        if (p.previous)
            p.previous->next = p.next;
        else
            registry = p.next;
        if (p.next) p.next->previous = p.previous;
        retiredBlocks.fetch_add(p.blocks.load(std::memory_order_relaxed),
                                std::memory_order_relaxed);
        p.blocks.store(0, std::memory_order_relaxed);
    }
};
thread_local Reaper reaper;

void registerThread(ThreadPool& p) {
    p.registered = true;
    (void)&reaper;  // constructs it, so that it runs at thread exit
    poolThreads.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(registryLock);
    p.next = registry;
    if (registry) registry->previous = &p;
    registry = &p;
}

void* allocateSlow(ThreadPool& p, size_t c) {
    if (p.ended) {
        // After this thread's pool was handed on (static destructors, late
        // thread_local destructors): a plain block, recycled when released.
        void* block = std::malloc(classSize(c));
        if (!block) throw std::bad_alloc();
        return block;
    }
    if (!p.registered) registerThread(p);
    if (orphans[c].load(std::memory_order_relaxed)) {
        Block* adopted = orphans[c].exchange(nullptr, std::memory_order_acquire);
        if (adopted) {
            p.free[c] = linkOf(adopted);
            return adopted;
        }
    }
    size_t size = classSize(c);
    if (static_cast<size_t>(p.bumpEnd - p.bump) < size) {
        char* next = p.slab ? nextSlab(p.slab) : nullptr;
        if (!next) {
            next = mapSlab(p);
            if (p.slab)
                setNextSlab(p.slab, next);
            else
                p.firstSlab = next;
        }
        spillTail(p);
        enterSlab(p, next);
    }
    void* block = p.bump;
    p.bump += size;
    return block;
}

inline void checkFailure(ThreadPool& p) {
    if (__builtin_expect(p.failCountdown != 0, 0) && --p.failCountdown == 0) throw std::bad_alloc();
}

void countBlock(ThreadPool& p, long delta) {
    if (p.ended)
        retiredBlocks.fetch_add(delta, std::memory_order_relaxed);
    else
        countBlocks(p, delta);
}

// The next free block of class `c`, or null when neither the free list nor
// the current slab has one.
inline Block* takeBlock(ThreadPool& p, size_t c) {
    Block* b = p.free[c];
    if (b) {
        // Freed blocks lie wherever the last tree put them: fetch the next
        // one now, so that the next allocation of this size does not wait.
        p.free[c] = linkOf(b);
        __builtin_prefetch(p.free[c], 1);
    } else if (p.bumpEnd - p.bump >= static_cast<long>(classSize(c))) {
        b = reinterpret_cast<Block*>(p.bump);
        p.bump += classSize(c);
    }
    return b;
}

// Stops the program on a block that the pool already holds free.
inline void checkInUse(void* block, size_t bytes) {
#ifdef ZUVPOOL_ASAN
    if (__asan_address_is_poisoned(block)) {
        std::fprintf(stderr, "ZUVPool: block %p of %zu bytes released twice\n", block, bytes);
        std::abort();
    }
#else
    (void)block;
    (void)bytes;
#endif
}

// Files a released block of class `c` on a live, registered thread.
inline void putBlock(ThreadPool& p, Block* b, size_t c) noexcept {
    poison(b, classSize(c));
    setLink(b, p.free[c]);
    p.free[c] = b;
    p.inUse -= static_cast<long>(classSize(c));
    countBlocks(p, -1);
    if (p.inUse == 0 && p.firstSlab && poolThreads.load(std::memory_order_relaxed) == 1) rewind(p);
}

// What the fast paths below leave: large blocks, a failure to inject, a
// thread not registered yet or already ended, a spent slab. Kept out of line,
// so that the fast paths need no saved registers and no frame.
__attribute__((noinline)) void* allocateAny(ThreadPool& p, size_t bytes) {
    checkFailure(p);
    if (bytes > ZUVPool::kMaxBlock) {
        void* block = std::malloc(bytes);
        if (!block) throw std::bad_alloc();
        if (!p.registered && !p.ended) registerThread(p);
        countBlock(p, 1);
        return block;
    }
    size_t c = classOf(bytes);
    Block* b = takeBlock(p, c);
    if (!b) b = static_cast<Block*>(allocateSlow(p, c));
    unpoison(b, bytes ? bytes : 1);
    p.inUse += static_cast<long>(classSize(c));
    countBlock(p, 1);
    return b;
}

__attribute__((noinline)) void releaseAny(ThreadPool& p, void* block, size_t bytes) noexcept {
    if (!block) return;
    if (bytes > ZUVPool::kMaxBlock) {
        std::free(block);
        if (!p.registered && !p.ended) registerThread(p);
        countBlock(p, -1);
        return;
    }
    size_t c = classOf(bytes);
    Block* b = static_cast<Block*>(block);
    checkInUse(block, bytes);
    if (p.ended) {
        poison(b, classSize(c));
        setLink(b, nullptr);
        pushOrphans(c, b);
        retiredBlocks.fetch_sub(1, std::memory_order_relaxed);
        return;
    }
    if (!p.registered) registerThread(p);
    putBlock(p, b, c);
}

}  // namespace

void* ZUVPool::allocate(size_t bytes) {
    ThreadPool& p = pool;
    if (__builtin_expect(bytes > kMaxBlock || p.failCountdown != 0 || !p.registered || p.ended, 0))
        return allocateAny(p, bytes);
    size_t c = classOf(bytes);
    Block* b = takeBlock(p, c);
    if (__builtin_expect(!b, 0)) return allocateAny(p, bytes);
    unpoison(b, bytes ? bytes : 1);
    p.inUse += static_cast<long>(classSize(c));
    countBlocks(p, 1);
    return b;
}

void ZUVPool::release(void* block, size_t bytes) noexcept {
    ThreadPool& p = pool;
    if (__builtin_expect(!block || bytes > kMaxBlock || !p.registered || p.ended, 0))
        return releaseAny(p, block, bytes);
    checkInUse(block, bytes);
    putBlock(p, static_cast<Block*>(block), classOf(bytes));
}

void* ZUVPool::reallocate(void* block, size_t oldBytes, size_t newBytes) {
    if (!block) return allocate(newBytes);
    if (oldBytes <= kMaxBlock || newBytes <= kMaxBlock) {
        if (oldBytes <= kMaxBlock && newBytes <= kMaxBlock &&
            classOf(oldBytes) == classOf(newBytes)) {
            poison(block, classSize(classOf(oldBytes)));
            unpoison(block, newBytes ? newBytes : 1);
            return block;
        }
        void* moved = allocate(newBytes);
        std::memcpy(moved, block, oldBytes < newBytes ? oldBytes : newBytes);
        release(block, oldBytes);
        return moved;
    }
    checkFailure(pool);
    void* moved = std::realloc(block, newBytes);
    if (!moved) throw std::bad_alloc();
    return moved;
}

void* ZUVPool::shrink(void* block, size_t oldBytes, size_t newBytes) noexcept {
    if (!block || newBytes == 0 || newBytes >= oldBytes) return nullptr;
    if (oldBytes > kMaxBlock) return newBytes > kMaxBlock ? std::realloc(block, newBytes) : nullptr;
    ThreadPool& p = pool;
    size_t oldClass = classOf(oldBytes);
    size_t newClass = classOf(newBytes);
    if (oldClass != newClass) {
        if (!p.registered || p.ended) return nullptr;
        // Blocks have no headers: the tail is a free block of its own size.
        size_t keep = classSize(newClass);
        size_t tail = classSize(oldClass) - keep;
        Block* rest = reinterpret_cast<Block*>(static_cast<char*>(block) + keep);
        poison(rest, tail);
        setLink(rest, p.free[classOf(tail)]);
        p.free[classOf(tail)] = rest;
        p.inUse -= static_cast<long>(tail);
    }
    poison(static_cast<char*>(block) + newBytes, classSize(newClass) - newBytes);
    return block;
}

long ZUVPool::getBytesInUse() {
    return pool.inUse;
}

long ZUVPool::getBlocksInUse() {
    std::lock_guard<std::mutex> lock(registryLock);
    long blocks = retiredBlocks.load(std::memory_order_relaxed);
    for (ThreadPool* p = registry; p; p = p->next)
        blocks += p->blocks.load(std::memory_order_relaxed);
    // A thread that has not registered yet counts its blocks all the same.
    if (!pool.registered) blocks += pool.blocks.load(std::memory_order_relaxed);
    return blocks;
}

size_t ZUVPool::getSlabBytes() {
    return slabBytes.load(std::memory_order_relaxed);
}

void ZUVPool::setReserve(size_t bytes) {
    reserveBytes.store(bytes, std::memory_order_relaxed);
}

size_t ZUVPool::getReserve() {
    return reserveBytes.load(std::memory_order_relaxed);
}

void ZUVPool::failAllocation(long n) {
    pool.failCountdown = n > 0 ? n : 0;
}

bool ZUVPool::failurePending() {
    return pool.failCountdown != 0;
}
