#include "ZUVPool.h"

#include <sys/mman.h>
#include <time.h>

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

__attribute__((tls_model("initial-exec"))) __thread ZUVPool::Bump* zuvPoolBump = nullptr;

namespace {

constexpr size_t kGrain = 8;
constexpr size_t kClasses = ZUVPool::kMaxBlock / kGrain;
constexpr size_t kPageSize = ZUVPool::kSlabSize;
constexpr size_t kSegmentSize = ZUVPool::kLargeSlabSize;
static_assert((kPageSize & (kPageSize - 1)) == 0, "pages are found by masking an address");
static_assert(kSegmentSize % kPageSize == 0, "segments hold whole pages");

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

// While a page is a thread's current page its count of live blocks carries
// this bias, so frees on other threads never bring it to zero; the owner
// counts what it hands out in a plain variable and settles when it leaves.
constexpr long kCurrentBias = 1L << 40;

// The head of every page, never poisoned. Blocks have no header: a block's
// page is its address rounded down to kPageSize.
struct alignas(64) Page {
    std::atomic<long> live;  // blocks not yet released (+ kCurrentBias while current)
    Page* newer;             // the cache of empty pages: a list from newest to oldest
    Page* older;
    long idleSince;  // milliseconds, when it entered the cache
    bool resident;   // false once given back to the system
};
constexpr size_t kPageHeader = sizeof(Page);

inline Page* pageOf(const void* block) {
    return reinterpret_cast<Page*>(reinterpret_cast<uintptr_t>(block) & ~(kPageSize - 1));
}
inline char* areaOf(Page* page) {
    return reinterpret_cast<char*>(page) + kPageHeader;
}
inline char* endOf(Page* page) {
    return reinterpret_cast<char*>(page) + kPageSize;
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

inline size_t classOf(size_t bytes) {
    return bytes ? (bytes - 1) / kGrain : 0;
}
inline size_t classSize(size_t c) {
    return (c + 1) * kGrain;
}

long nowMilliseconds() {
    timespec time;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &time);
    return static_cast<long>(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

// ---------------------------------------------------------------------------
// Pages shared by all threads: carved from segments, cached when empty.

std::mutex pagesLock;
Page* newest = nullptr;  // the cache, most recently emptied first
Page* oldest = nullptr;
Page* returned = nullptr;  // given back to the system, linked by `older`
char* segmentNext = nullptr;
char* segmentEnd = nullptr;
size_t segmentsMapped = 0;
long lastDecay = 0;
size_t cachedBytes = 0;  // resident pages in the cache
std::atomic<size_t> slabBytes{0};
std::atomic<size_t> reserveBytes{ZUVPool::kDefaultReserve};

char* mapSegment() {
    void* mapped = mmap(nullptr, kSegmentSize + kSegmentSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    // On huge-page boundaries, so that the system can back it with huge pages.
    char* wide = static_cast<char*>(mapped);
    uintptr_t at = reinterpret_cast<uintptr_t>(wide);
    char* segment = wide + (kSegmentSize - at % kSegmentSize) % kSegmentSize;
    if (segment > wide) munmap(wide, static_cast<size_t>(segment - wide));
    munmap(segment + kSegmentSize, static_cast<size_t>(wide + kSegmentSize - segment));
    // The first segment stays in small pages, so that a program that reads a
    // small document holds little; past it, one fault brings in 2 MB.
    if (segmentsMapped++ > 0) madvise(segment, kSegmentSize, MADV_HUGEPAGE);
    poison(segment, kSegmentSize);
    return segment;
}

void unlinkCached(Page* page) {
    (page->newer ? page->newer->older : newest) = page->older;
    (page->older ? page->older->newer : oldest) = page->newer;
    cachedBytes -= kPageSize;
}

// Gives back the cached pages above the reserve that have waited at least
// `age` milliseconds, oldest first. Holds pagesLock.
void decay(long now, long age) {
    lastDecay = now;
    size_t reserve = reserveBytes.load(std::memory_order_relaxed);
    while (oldest && cachedBytes > reserve && now - oldest->idleSince >= age) {
        Page* page = oldest;
        unlinkCached(page);
        unpoison(areaOf(page), kPageSize - kPageHeader);
        madvise(areaOf(page), kPageSize - kPageHeader, MADV_DONTNEED);
        poison(areaOf(page), kPageSize - kPageHeader);
        page->resident = false;
        page->older = returned;
        returned = page;
        slabBytes.fetch_sub(kPageSize, std::memory_order_relaxed);
    }
}

// Every pool call that takes or gives a whole page looks at the clock, so a
// program that goes on working gives its idle pages back without a thread
// of its own.
void decayNow() {
    long now = nowMilliseconds();
    if (now - lastDecay >= ZUVPool::kDecayMilliseconds / 4) decay(now, ZUVPool::kDecayMilliseconds);
}

// An empty page, its area poisoned: the one emptied last, which is the most
// likely to be in the caches still, or a fresh one.
Page* takePage() {
    std::lock_guard<std::mutex> lock(pagesLock);
    decayNow();
    Page* page = newest;
    if (page) {
        unlinkCached(page);
        return page;
    }
    if (returned) {
        page = returned;
        returned = page->older;
    } else {
        if (segmentNext == segmentEnd) {
            segmentNext = mapSegment();
            segmentEnd = segmentNext + kSegmentSize;
        }
        page = reinterpret_cast<Page*>(segmentNext);
        segmentNext += kPageSize;
        unpoison(page, kPageHeader);
        new (page) Page();
    }
    page->resident = true;
    slabBytes.fetch_add(kPageSize, std::memory_order_relaxed);
    return page;
}

// Files a page whose last block was released, on whichever thread did it.
void cachePage(Page* page) noexcept {
    poison(areaOf(page), kPageSize - kPageHeader);
    std::lock_guard<std::mutex> lock(pagesLock);
    page->idleSince = nowMilliseconds();
    page->older = newest;
    page->newer = nullptr;
    (newest ? newest->newer : oldest) = page;
    newest = page;
    cachedBytes += kPageSize;
    decayNow();
}

// One block of a page that is no thread's current page goes; the last one
// takes the page to the cache.
inline void dropBlocks(Page* page, long blocks) noexcept {
    if (page->live.fetch_sub(blocks, std::memory_order_acq_rel) == blocks) cachePage(page);
}

// ---------------------------------------------------------------------------
// Threads: each bump-allocates from a current page of its own.

struct ThreadPool {
    // The bump range, the count of blocks handed out of the current page
    // (listed ones too) and the thread's counts: what the inline fast path
    // sees. Its end is the page's only while that path may serve.
    ZUVPool::Bump fast;
    // Blocks released into the current page, reused before it is left (by
    // the inline path, once the page's bump range is spent).
    Block* free[kClasses];
    char* bumpEnd;  // end of the current page
    Page* current;
    long listed;           // blocks on the free lists
    Page* dropPage;        // a page some of whose blocks were released here,
    long drops;            // and how many, not yet taken off its count
    long failCountdown;    // see ZUVPool::failAllocation
    ThreadPool* previous;  // the registry of threads, for getBlocksInUse
    ThreadPool* next;
    bool active;  // false for the shared stand-in of threads that ended
};

// The one thread-local variable the fast paths read: a pointer, in the
// initial-exec model (see ZUVPool.h). Null until the thread first uses the
// pool; once it ends, the shared stand-in below.
__attribute__((tls_model("initial-exec"))) thread_local ThreadPool* pool = nullptr;
// Serves nothing from its lists or bump range, so calls on threads that
// ended take the slow paths.
ThreadPool endedThreads{};

std::mutex registryLock;
ThreadPool* registry = nullptr;
// Blocks counted by threads that have ended, or released after they ended.
std::atomic<long> retiredBlocks{0};
// Where blocks asked for after a thread ended come from (static or late
// thread_local destructors).
std::mutex lateLock;
Page* latePage = nullptr;
char* lateBump = nullptr;
long lateUsed = 0;

// Gives the inline fast path the rest of the current page, unless a failure
// is due or the pool poisons what it holds free: then every block goes
// through allocate().
inline void openFast(ThreadPool& p) noexcept {
#ifdef ZUVPOOL_ASAN
    p.fast.end = nullptr;
#else
    p.fast.end = p.failCountdown == 0 ? p.bumpEnd : nullptr;
#endif
}

// Only the owner writes its count, so a plain add suffices; the atomic lets
// getBlocksInUse read it from any thread.
inline void countBlocks(ThreadPool& p, long delta) {
    __atomic_store_n(&p.fast.blocks, p.fast.blocks + delta, __ATOMIC_RELAXED);
}
void countBlock(ThreadPool& p, long delta) {
    if (p.active)
        countBlocks(p, delta);
    else
        retiredBlocks.fetch_add(delta, std::memory_order_relaxed);
}

// Takes the releases gathered for one page off its count. A tree is freed
// page after page, so gathering them spares an atomic operation per block.
void flushDrops(ThreadPool& p) noexcept {
    Page* page = p.dropPage;
    if (!page) return;
    p.dropPage = nullptr;
    dropBlocks(page, p.drops);
}

// Settles the current page: the blocks on the free lists count as released
// and the bias goes. An empty page goes to the cache.
void leavePage(ThreadPool& p) noexcept {
    Page* page = p.current;
    if (!page) return;
    std::memset(p.free, 0, sizeof p.free);
    long settled = kCurrentBias - p.fast.used + p.listed;
    p.current = nullptr;
    p.fast.next = p.bumpEnd = p.fast.end = nullptr;
    p.fast.used = p.listed = 0;
    dropBlocks(page, settled);
}

void enterPage(ThreadPool& p, Page* page) noexcept {
    page->live.store(kCurrentBias, std::memory_order_relaxed);
    p.current = page;
    p.fast.next = areaOf(page);
    p.bumpEnd = endOf(page);
    p.fast.used = p.listed = 0;
    openFast(p);
}

// The current page cannot serve: start it over when every block it handed
// out is back (no other thread can hold one then), else move to another.
void nextPage(ThreadPool& p) {
    flushDrops(p);
    Page* page = p.current;
    if (page &&
        kCurrentBias - page->live.load(std::memory_order_acquire) + p.listed == p.fast.used) {
        std::memset(p.free, 0, sizeof p.free);
        poison(areaOf(page), kPageSize - kPageHeader);
        enterPage(p, page);
        return;
    }
    Page* fresh = takePage();
    leavePage(p);
    enterPage(p, fresh);
}

// Hands the thread's page on when it ends. Touched only on the slow path, so
// the fast paths never check whether it was constructed.
struct Reaper {
    ~Reaper() {
        ThreadPool* p = pool;
        if (!p || !p->active) return;
        flushDrops(*p);
        leavePage(*p);
        {
            std::lock_guard<std::mutex> lock(registryLock);
            if (p->previous)
                p->previous->next = p->next;
            else
                registry = p->next;
            if (p->next) p->next->previous = p->previous;
            retiredBlocks.fetch_add(__atomic_load_n(&p->fast.blocks, __ATOMIC_RELAXED),
                                    std::memory_order_relaxed);
        }
        pool = &endedThreads;
        zuvPoolBump = nullptr;
        p->~ThreadPool();
        std::free(p);
    }
};
thread_local Reaper reaper;

// The thread's pool, made on its first call; null when there is no memory
// for it.
ThreadPool* registerThread() noexcept {
    void* memory = std::calloc(1, sizeof(ThreadPool));
    if (!memory) return nullptr;
    ThreadPool* p = new (memory) ThreadPool();
    p->active = true;
    (void)&reaper;  // constructs it, so that it runs at thread exit
    {
        std::lock_guard<std::mutex> lock(registryLock);
        p->next = registry;
        if (registry) registry->previous = p;
        registry = p;
    }
    pool = p;
#ifndef ZUVPOOL_ASAN
    zuvPoolBump = &p->fast;
#endif
    return p;
}

ThreadPool& currentPool() {
    ThreadPool* p = pool;
    if (p) return *p;
    p = registerThread();
    if (!p) throw std::bad_alloc();
    return *p;
}

void* allocateLate(size_t size) {
    std::lock_guard<std::mutex> lock(lateLock);
    if (!latePage || static_cast<size_t>(endOf(latePage) - lateBump) < size) {
        Page* page = takePage();
        if (latePage) dropBlocks(latePage, kCurrentBias - lateUsed);
        page->live.store(kCurrentBias, std::memory_order_relaxed);
        latePage = page;
        lateBump = areaOf(page);
        lateUsed = 0;
    }
    void* block = lateBump;
    lateBump += size;
    ++lateUsed;
    return block;
}

// The next free block of class `c`, or null when neither the free list nor
// the current page has one.
inline Block* takeBlock(ThreadPool& p, size_t c) {
    Block* b = p.free[c];
    if (b) {
        p.free[c] = linkOf(b);
        --p.listed;
    } else if (p.bumpEnd - p.fast.next >= static_cast<long>(classSize(c))) {
        b = reinterpret_cast<Block*>(p.fast.next);
        p.fast.next += classSize(c);
        ++p.fast.used;
    }
    return b;
}

inline void checkFailure(ThreadPool& p) {
    if (__builtin_expect(p.failCountdown != 0, 0) && --p.failCountdown == 0) {
        openFast(p);
        throw std::bad_alloc();
    }
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

// Files a released block of class `c`: on the free lists when it is of this
// thread's current page, else off its page's count.
inline void putBlock(ThreadPool& p, Block* b, size_t c) noexcept {
    poison(b, classSize(c));
    p.fast.inUse -= static_cast<long>(classSize(c));
    countBlocks(p, -1);
    Page* page = pageOf(b);
    if (page == p.current) {
        setLink(b, p.free[c]);
        p.free[c] = b;
        ++p.listed;
    } else if (page == p.dropPage) {
        ++p.drops;
    } else {
        flushDrops(p);
        p.dropPage = page;
        p.drops = 1;
    }
}

// What the fast path below leaves: large blocks, a failure to inject, a
// thread new or ended, a spent page. Kept out of line, so that the fast
// path needs no saved registers and no frame.
__attribute__((noinline)) void* allocateAny(size_t bytes) {
    ThreadPool& p = currentPool();
    checkFailure(p);
    if (bytes > ZUVPool::kMaxBlock) {
        void* block = std::malloc(bytes);
        if (!block) throw std::bad_alloc();
        countBlock(p, 1);
        return block;
    }
    size_t c = classOf(bytes);
    Block* b;
    if (!p.active) {
        b = static_cast<Block*>(allocateLate(classSize(c)));
        retiredBlocks.fetch_add(1, std::memory_order_relaxed);
    } else {
        b = takeBlock(p, c);
        if (!b) {
            nextPage(p);
            b = takeBlock(p, c);
        }
        p.fast.inUse += static_cast<long>(classSize(c));
        countBlocks(p, 1);
    }
    unpoison(b, bytes ? bytes : 1);
    return b;
}

__attribute__((noinline)) void releaseAny(void* block, size_t bytes) noexcept {
    if (!block) return;
    ThreadPool* p = pool;
    if (!p) p = registerThread();
    if (bytes > ZUVPool::kMaxBlock) {
        std::free(block);
        if (p)
            countBlock(*p, -1);
        else
            retiredBlocks.fetch_sub(1, std::memory_order_relaxed);
        return;
    }
    size_t c = classOf(bytes);
    checkInUse(block, bytes);
    if (p && p->active) return putBlock(*p, static_cast<Block*>(block), c);
    poison(block, classSize(c));
    retiredBlocks.fetch_sub(1, std::memory_order_relaxed);
    dropBlocks(pageOf(block), 1);
}

}  // namespace

void* ZUVPool::allocate(size_t bytes) {
    ThreadPool* p = pool;
    if (__builtin_expect(!p || bytes > kMaxBlock || p->failCountdown != 0, 0))
        return allocateAny(bytes);
    size_t c = classOf(bytes);
    Block* b = takeBlock(*p, c);
    if (__builtin_expect(!b, 0)) return allocateAny(bytes);
    unpoison(b, bytes ? bytes : 1);
    p->fast.inUse += static_cast<long>(classSize(c));
    countBlocks(*p, 1);
    return b;
}

void ZUVPool::release(void* block, size_t bytes) noexcept {
    ThreadPool* p = pool;
    if (__builtin_expect(!block || !p || bytes > kMaxBlock || !p->active, 0))
        return releaseAny(block, bytes);
    checkInUse(block, bytes);
    putBlock(*p, static_cast<Block*>(block), classOf(bytes));
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
    checkFailure(currentPool());
    void* moved = std::realloc(block, newBytes);
    if (!moved) throw std::bad_alloc();
    return moved;
}

void* ZUVPool::shrink(void* block, size_t oldBytes, size_t newBytes) noexcept {
    if (!block || newBytes == 0 || newBytes >= oldBytes) return nullptr;
    if (oldBytes > kMaxBlock) return newBytes > kMaxBlock ? std::realloc(block, newBytes) : nullptr;
    size_t oldClass = classOf(oldBytes);
    size_t newClass = classOf(newBytes);
    if (oldClass != newClass) {
        size_t keep = classSize(newClass);
        size_t tail = classSize(oldClass) - keep;
        char* rest = static_cast<char*>(block) + keep;
        poison(rest, tail);
        ThreadPool* p = pool;
        if (p && p->active && pageOf(block) == p->current) {
            if (rest + tail == p->fast.next) {
                // The last block handed out: the bump pointer takes the tail back.
                p->fast.next = rest;
            } else {
                // The tail becomes a free block of the current page.
                Block* b = reinterpret_cast<Block*>(rest);
                setLink(b, p->free[classOf(tail)]);
                p->free[classOf(tail)] = b;
                ++p->fast.used;
                ++p->listed;
            }
        }
        // Otherwise the tail lies idle until its page empties.
        if (p && p->active) p->fast.inUse -= static_cast<long>(tail);
    }
    poison(static_cast<char*>(block) + newBytes, classSize(newClass) - newBytes);
    return block;
}

long ZUVPool::getBytesInUse() {
    ThreadPool* p = pool;
    return p ? p->fast.inUse : 0;
}

long ZUVPool::getBlocksInUse() {
    std::lock_guard<std::mutex> lock(registryLock);
    long blocks = retiredBlocks.load(std::memory_order_relaxed);
    for (ThreadPool* p = registry; p; p = p->next)
        blocks += __atomic_load_n(&p->fast.blocks, __ATOMIC_RELAXED);
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

void ZUVPool::trim() noexcept {
    ThreadPool* p = pool;
    if (p && p->active) flushDrops(*p);
    std::lock_guard<std::mutex> lock(pagesLock);
    decay(nowMilliseconds(), 0);
}

void ZUVPool::failAllocation(long n) {
    ThreadPool& p = currentPool();
    if (!p.active) return;
    p.failCountdown = n > 0 ? n : 0;
    openFast(p);
}

bool ZUVPool::failurePending() {
    ThreadPool* p = pool;
    return p && p->failCountdown != 0;
}
