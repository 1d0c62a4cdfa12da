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
    char* bump;
    char* bumpEnd;
    long inUse;
    bool registered;
    bool ended;
};

__attribute__((tls_model("initial-exec"))) thread_local ThreadPool pool;

// Turns what is left of the current slab into free blocks, as large as fit,
// so that nothing is stranded when the slab is replaced or the thread ends.
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

// Hands the thread's free blocks on when it ends. Touched only on the slow
// path, so the fast paths never check whether it was constructed.
struct Reaper {
    ~Reaper() {
        ThreadPool& p = pool;
        p.ended = true;
        spillTail(p);
        for (size_t c = 0; c < kClasses; ++c) {
            pushOrphans(c, p.free[c]);
            p.free[c] = nullptr;
        }
    }
};
thread_local Reaper reaper;

void* allocateSlow(size_t c) {
    ThreadPool& p = pool;
    if (p.ended) {
        // After this thread's pool was handed on (static destructors, late
        // thread_local destructors): a plain block, recycled when released.
        void* block = std::malloc(classSize(c));
        if (!block) throw std::bad_alloc();
        return block;
    }
    if (!p.registered) {
        p.registered = true;
        (void)&reaper;  // constructs it, so it runs at thread exit
    }
    if (orphans[c].load(std::memory_order_relaxed)) {
        Block* adopted = orphans[c].exchange(nullptr, std::memory_order_acquire);
        if (adopted) {
            p.free[c] = adopted->next;
            return adopted;
        }
    }
    size_t size = classSize(c);
    if (static_cast<size_t>(p.bumpEnd - p.bump) < size) {
        char* slab = static_cast<char*>(std::malloc(ZUVPool::kSlabSize));
        if (!slab) throw std::bad_alloc();
        slabBytes.fetch_add(ZUVPool::kSlabSize, std::memory_order_relaxed);
        spillTail(p);
        p.bump = slab;
        p.bumpEnd = slab + ZUVPool::kSlabSize;
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
    p.inUse += static_cast<long>(classSize(c));
    Block* b = p.free[c];
    if (b) {
        // Freed blocks lie wherever the last tree put them: fetch the next
        // one now, so that the next allocation of this size does not wait.
        p.free[c] = b->next;
        __builtin_prefetch(b->next, 1);
        return b;
    }
    try {
        return allocateSlow(c);
    } catch (...) {
        p.inUse -= static_cast<long>(classSize(c));
        throw;
    }
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
    p.inUse -= static_cast<long>(classSize(c));
    b->next = p.free[c];
    p.free[c] = b;
#endif
}

void* ZUVPool::reallocate(void* block, size_t oldBytes, size_t newBytes) {
    if (!block) return allocate(newBytes);
#ifndef ZUVPOOL_USE_MALLOC
    if (oldBytes > kMaxBlock && newBytes > kMaxBlock) {
#endif
        void* moved = std::realloc(block, newBytes ? newBytes : 1);
        if (!moved) throw std::bad_alloc();
        return moved;
#ifndef ZUVPOOL_USE_MALLOC
    }
    if (classOf(oldBytes) == classOf(newBytes) && oldBytes <= kMaxBlock && newBytes <= kMaxBlock)
        return block;
    void* moved = allocate(newBytes);
    std::memcpy(moved, block, oldBytes < newBytes ? oldBytes : newBytes);
    release(block, oldBytes);
    return moved;
#endif
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
