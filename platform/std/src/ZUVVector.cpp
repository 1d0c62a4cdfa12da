#include "ZUVVector.h"

#include "ZUVPool.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {
// What the 28 bits of the capacity can count.
constexpr int kMaxCapacity = (1 << 28) - 1;
}  // namespace

ZUVVector::ZUVVector(int initialCapacity)
    : slot(nullptr),
      capacity(1),
      firstCapacity(static_cast<uint32_t>(initialCapacity < 2    ? 2
                                          : initialCapacity > 15 ? 15
                                                                 : initialCapacity)) {}

ZUVVector::~ZUVVector() {
    if (capacity != 1) ZUVPool::release(items, static_cast<size_t>(capacity) * sizeof(void*));
}

void ZUVVector::reserveFor(int needed, bool geometric) {
    if (static_cast<unsigned>(needed) <= capacity) return;
    if (needed > kMaxCapacity) throw std::length_error("ZUVVector: too many elements");
    long current = capacity;
    long grown = geometric ? 2L * current : current + current / 2 + 1;
    if (current == 1 && grown < static_cast<long>(firstCapacity)) grown = firstCapacity;
    if (grown < needed) grown = needed;
    if (grown > kMaxCapacity) grown = kMaxCapacity;
    size_t bytes = static_cast<size_t>(grown) * sizeof(void*);
    if (current == 1) {
        void** fresh = static_cast<void**>(ZUVPool::allocate(bytes));
        if (count) fresh[0] = slot;
        items = fresh;
    } else {
        items = static_cast<void**>(
            ZUVPool::reallocate(items, static_cast<size_t>(current) * sizeof(void*), bytes));
    }
    capacity = static_cast<uint32_t>(grown);
}

void ZUVVector::trim() noexcept {
    if (capacity == 1 || static_cast<unsigned>(count) == capacity) return;
    if (count <= 1) {
        void* only = count ? items[0] : nullptr;
        ZUVPool::release(items, static_cast<size_t>(capacity) * sizeof(void*));
        slot = only;
        capacity = 1;
        return;
    }
    void* shrunk = ZUVPool::shrink(items, static_cast<size_t>(capacity) * sizeof(void*),
                                   static_cast<size_t>(count) * sizeof(void*));
    if (!shrunk) return;
    items = static_cast<void**>(shrunk);
    capacity = static_cast<uint32_t>(count);
}

void ZUVVector::releaseArray() noexcept {
    ZUVPool::release(items, static_cast<size_t>(capacity) * sizeof(void*));
}

void ZUVVector::unmirror(const ZUVVector& owner) {
    if (!mirrors(owner)) return;
    size_t bytes = static_cast<size_t>(capacity) * sizeof(void*);
    void** own = static_cast<void**>(ZUVPool::allocate(bytes));
    std::memcpy(own, items, static_cast<size_t>(count) * sizeof(void*));
    items = own;
}

bool ZUVVector::insertElementAt(const void* element, int index) {
    if (index < 0 || index > count) return false;
    if (static_cast<unsigned>(count) == capacity) reserveFor(count + 1, true);
    void** array = data();
    std::memmove(array + index + 1, array + index,
                 static_cast<size_t>(count - index) * sizeof(void*));
    array[index] = const_cast<void*>(element);
    ++count;
    return true;
}

void ZUVVector::removeInside(int index) {
    if (index < 0 || index >= count) return;
    --count;
    void** array = data();
    std::memmove(array + index, array + index + 1,
                 static_cast<size_t>(count - index) * sizeof(void*));
}

int ZUVVector::indexOf(const void* element) const {
    void* const* array = data();
    for (int i = 0; i < count; ++i)
        if (array[i] == element) return i;
    return -1;
}
