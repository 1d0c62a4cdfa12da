#include "ZUVPool.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define ZUVPOOL_USE_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUVPOOL_USE_MALLOC 1
#endif
#endif

#ifndef ZUVPOOL_USE_MALLOC
namespace {

constexpr size_t kGrain = 8;
constexpr size_t kClasses = ZUVPool::kMaxBlock / kGrain;
// Each slab starts with a link to the thread's next slab.
constexpr size_t kSlabHeader = sizeof(char*);

struct Block {
    Block* next;
};

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
// Threads that have used the pool. While there is one, it can tell when all
// its blocks are free and start its slabs over (see rewind).
std::atomic<int> poolThreads{0};

void pushOrphans(size_t c, Block* first) noexcept {
    if (!first) return;
    Block* last = first;
    while (last->next)
        last = last->next;
    Block* head = orphans[c].load(std::memory_order_relaxed);
    do {
        last->next = head;
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
    long inUse;  // bytes allocated minus bytes released on this thread
    bool registered;
    bool ended;
};

__attribute__((tls_model("initial-exec"))) thread_local ThreadPool pool;

// Turns what is left of the current slab into free blocks, as large as fit,
// so that nothing is stranded when the slab is left or the thread ends.
void spillTail(ThreadPool& p) noexcept {
    while (p.bumpEnd - p.bump >= static_cast<long>(kGrain)) {
        size_t left = static_cast<size_t>(p.bumpEnd - p.bump);
        size_t c = classOf(left < ZUVPool::kMaxBlock ? left / kGrain * kGrain : ZUVPool::kMaxBlock);
        Block* b = reinterpret_cast<Block*>(p.bump);
        p.bump += classSize(c);
        b->next = p.free[c];
        p.free[c] = b;
    }
}

void enterSlab(ThreadPool& p, char* slab) noexcept {
    p.slab = slab;
    p.bump = slab + kSlabHeader;
    p.bumpEnd = slab + ZUVPool::kSlabSize;
}

// When every block this thread handed out is back, and no other thread ever
// used the pool, the free lists hold exactly the thread's blocks: forget
// them and carve the slabs again from the start. The next tree is then laid
// out in the order it is built, which its builder and its readers walk far
// faster than blocks scattered in the order the last tree was freed.
void rewind(ThreadPool& p) noexcept {
    std::memset(p.free, 0, sizeof p.free);
    enterSlab(p, p.firstSlab);
}

// Hands the thread's free blocks on when it ends. Touched only on the slow
// path, so the fast paths never check whether it was constructed.
struct Reaper {
    ~Reaper() {
        ThreadPool& p = pool;
        p.ended = true;
        spillTail(p);
        // Slabs not reached since the last rewind become blocks too.
        for (char* s = p.slab ? *reinterpret_cast<char**>(p.slab) : nullptr; s;
             s = *reinterpret_cast<char**>(s)) {
            enterSlab(p, s);
            spillTail(p);
        }
        for (size_t c = 0; c < kClasses; ++c) {
            pushOrphans(c, p.free[c]);
            p.free[c] = nullptr;
        }
    }
};
thread_local Reaper reaper;

void registerThread(ThreadPool& p) {
    p.registered = true;
    (void)&reaper;  // constructs it, so that it runs at thread exit
    poolThreads.fetch_add(1, std::memory_order_relaxed);
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
            p.free[c] = adopted->next;
            return adopted;
        }
    }
    size_t size = classSize(c);
    if (static_cast<size_t>(p.bumpEnd - p.bump) < size) {
        spillTail(p);
        char* next = p.slab ? *reinterpret_cast<char**>(p.slab) : nullptr;
        if (!next) {
            next = static_cast<char*>(std::malloc(ZUVPool::kSlabSize));
            if (!next) throw std::bad_alloc();
            slabBytes.fetch_add(ZUVPool::kSlabSize, std::memory_order_relaxed);
            *reinterpret_cast<char**>(next) = nullptr;
            if (p.slab)
                *reinterpret_cast<char**>(p.slab) = next;
            else
                p.firstSlab = next;
        }
        enterSlab(p, next);
    }
    void* block = p.bump;
    p.bump += size;
    return block;
}

}  // namespace
#endif

void* ZUVPool::allocate(size_t bytes) {
#ifdef ZUVPOOL_USE_MALLOC
    void* block = std::malloc(bytes ? bytes : 1);
    if (!block) throw std::bad_alloc();
    return block;
#else
    if (bytes > kMaxBlock) {
        void* block = std::malloc(bytes);
        if (!block) throw std::bad_alloc();
        return block;
    }
    size_t c = classOf(bytes);
    ThreadPool& p = pool;
    Block* b = p.free[c];
    if (b) {
        // Freed blocks lie wherever the last tree put them: fetch the next
        // one now, so that the next allocation of this size does not wait.
        p.free[c] = b->next;
        __builtin_prefetch(b->next, 1);
    } else if (p.bumpEnd - p.bump >= static_cast<long>(classSize(c))) {
        b = reinterpret_cast<Block*>(p.bump);
        p.bump += classSize(c);
    } else {
        b = static_cast<Block*>(allocateSlow(p, c));
    }
    p.inUse += static_cast<long>(classSize(c));
    return b;
#endif
}

void ZUVPool::release(void* block, size_t bytes) noexcept {
    if (!block) return;
#ifdef ZUVPOOL_USE_MALLOC
    (void)bytes;
    std::free(block);
#else
    if (bytes > kMaxBlock) {
        std::free(block);
        return;
    }
    size_t c = classOf(bytes);
    ThreadPool& p = pool;
    Block* b = static_cast<Block*>(block);
    if (p.ended) {
        b->next = nullptr;
        pushOrphans(c, b);
        return;
    }
    if (!p.registered) registerThread(p);
    b->next = p.free[c];
    p.free[c] = b;
    p.inUse -= static_cast<long>(classSize(c));
    if (p.inUse == 0 && p.firstSlab && poolThreads.load(std::memory_order_relaxed) == 1) rewind(p);
#endif
}

void* ZUVPool::reallocate(void* block, size_t oldBytes, size_t newBytes) {
    if (!block) return allocate(newBytes);
#ifndef ZUVPOOL_USE_MALLOC
    if (oldBytes <= kMaxBlock || newBytes <= kMaxBlock) {
        if (oldBytes <= kMaxBlock && newBytes <= kMaxBlock &&
            classOf(oldBytes) == classOf(newBytes))
            return block;
        void* moved = allocate(newBytes);
        std::memcpy(moved, block, oldBytes < newBytes ? oldBytes : newBytes);
        release(block, oldBytes);
        return moved;
    }
#else
    (void)oldBytes;
#endif
    void* moved = std::realloc(block, newBytes ? newBytes : 1);
    if (!moved) throw std::bad_alloc();
    return moved;
}

long ZUVPool::getBytesInUse() {
#ifdef ZUVPOOL_USE_MALLOC
    return 0;
#else
    return pool.inUse;
#endif
}

size_t ZUVPool::getSlabBytes() {
#ifdef ZUVPOOL_USE_MALLOC
    return 0;
#else
    return slabBytes.load(std::memory_order_relaxed);
#endif
}
