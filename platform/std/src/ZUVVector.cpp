#include "ZUVVector.h"

#include "ZUVPool.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {
constexpr int kMaxCapacity = 0x7fffffff / static_cast<int>(sizeof(void*));
}

ZUVVector::ZUVVector(int initialCapacity)
    : items(&inlineItem), firstCapacity(initialCapacity < 4 ? 4 : initialCapacity) {}

ZUVVector::~ZUVVector() {
    if (items != &inlineItem)
        ZUVPool::release(items, static_cast<size_t>(capacity) * sizeof(void*));
}

void ZUVVector::reserveFor(int needed, bool geometric) {
    if (needed <= capacity) return;
    if (needed > kMaxCapacity) throw std::length_error("ZUVVector: too many elements");
    long grown = geometric ? 2L * capacity : capacity + capacity / 2 + 1;
    if (items == &inlineItem && grown < firstCapacity) grown = firstCapacity;
    if (grown < needed) grown = needed;
    if (grown > kMaxCapacity) grown = kMaxCapacity;
    size_t bytes = static_cast<size_t>(grown) * sizeof(void*);
    if (items == &inlineItem) {
        void** fresh = static_cast<void**>(ZUVPool::allocate(bytes));
        if (count) fresh[0] = inlineItem;
        items = fresh;
    } else {
        items = static_cast<void**>(
            ZUVPool::reallocate(items, static_cast<size_t>(capacity) * sizeof(void*), bytes));
    }
    capacity = static_cast<int>(grown);
}

void ZUVVector::trim() {
    if (items == &inlineItem || count > 1) return;
    void* only = count ? items[0] : nullptr;
    ZUVPool::release(items, static_cast<size_t>(capacity) * sizeof(void*));
    items = &inlineItem;
    inlineItem = only;
    capacity = 1;
}

bool ZUVVector::insertElementAt(const void* element, int index) {
    if (index < 0 || index > count) return false;
    if (count == capacity) reserveFor(count + 1, true);
    std::memmove(items + index + 1, items + index,
                 static_cast<size_t>(count - index) * sizeof(void*));
    items[index] = const_cast<void*>(element);
    ++count;
    return true;
}

void ZUVVector::removeElement(int index) {
    if (index < 0 || index >= count) return;
    --count;
    std::memmove(items + index, items + index + 1,
                 static_cast<size_t>(count - index) * sizeof(void*));
}

int ZUVVector::indexOf(const void* element) const {
    for (int i = 0; i < count; ++i)
        if (items[i] == element) return i;
    return -1;
}
