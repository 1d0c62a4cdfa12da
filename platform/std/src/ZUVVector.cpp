#include "ZUVVector.h"

#include "ZUVPool.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {
// What the 28 bits of the capacity can count.
constexpr int kMaxCapacity = (1 << 28) - 1;
// Removing the first element of a list longer than this moves the start of
// the array instead of the elements: a list emptied from the front, one at
// a time, then costs linear time, not quadratic.
constexpr int kMoveStartAbove = 16;
// firstCapacity is 2 to 15; this value says that the array starts `front`
// slots into its block, and the slot just before it keeps `front` and the
// real firstCapacity (see frontRecord).
constexpr uint32_t kHasFront = 0;
constexpr int kFirstCapacityBits = 4;
}  // namespace

// The array's block starts `front` slots before items, where a record of
// `front` and firstCapacity stands; 0 when it starts at items.
size_t ZUVVector::frontSlots() const noexcept {
    if (capacity == 1 || firstCapacity != kHasFront) return 0;
    return reinterpret_cast<uintptr_t>(items[-1]) >> kFirstCapacityBits;
}

void ZUVVector::dropFront() noexcept {
    size_t front = frontSlots();
    if (!front) return;
    uintptr_t record = reinterpret_cast<uintptr_t>(items[-1]);
    void** block = items - front;
    std::memmove(block, items, static_cast<size_t>(count) * sizeof(void*));
    items = block;
    capacity = static_cast<uint32_t>(capacity + front);
    firstCapacity = static_cast<uint32_t>(record & ((1u << kFirstCapacityBits) - 1));
}

ZUVVector::ZUVVector(int initialCapacity)
    : slot(nullptr),
      capacity(1),
      firstCapacity(static_cast<uint32_t>(initialCapacity < 2    ? 2
                                          : initialCapacity > 15 ? 15
                                                                 : initialCapacity)) {}

ZUVVector::~ZUVVector() {
    if (capacity != 1) releaseArray();
}

void ZUVVector::reserveFor(int needed, bool geometric) {
    if (static_cast<unsigned>(needed) <= capacity) return;
    if (needed > kMaxCapacity) throw std::length_error("ZUVVector: too many elements");
    dropFront();  // the room before the start may be enough
    if (static_cast<unsigned>(needed) <= capacity) return;
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

void ZUVVector::reserve(int wanted) {
    if (wanted <= 1 || static_cast<unsigned>(wanted) <= capacity) return;
    if (wanted > kMaxCapacity) throw std::length_error("ZUVVector: too many elements");
    dropFront();
    if (static_cast<unsigned>(wanted) <= capacity) return;
    size_t bytes = static_cast<size_t>(wanted) * sizeof(void*);
    if (capacity == 1) {
        void** fresh = static_cast<void**>(ZUVPool::allocate(bytes));
        if (count) fresh[0] = slot;
        items = fresh;
    } else {
        items = static_cast<void**>(
            ZUVPool::reallocate(items, static_cast<size_t>(capacity) * sizeof(void*), bytes));
    }
    capacity = static_cast<uint32_t>(wanted);
}

void ZUVVector::setSize(int size) {
    if (size < 0) size = 0;
    if (static_cast<unsigned>(size) > capacity) {
        if (capacity == 1 && count == 0 && size <= kMaxCapacity) {
            items = static_cast<void**>(
                ZUVPool::allocateFast(static_cast<size_t>(size) * sizeof(void*)));
            capacity = static_cast<uint32_t>(size);
        } else {
            reserve(size);
        }
    }
    void** array = data();
    for (int i = count; i < size; ++i)
        array[i] = nullptr;
    count = size;
}

void ZUVVector::trim() noexcept {
    dropFront();
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
    size_t front = frontSlots();
    if (front) {
        uintptr_t record = reinterpret_cast<uintptr_t>(items[-1]);
        firstCapacity = static_cast<uint32_t>(record & ((1u << kFirstCapacityBits) - 1));
    }
    ZUVPool::release(items - front, (capacity + front) * sizeof(void*));
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
    if (index == 0 && count > kMoveStartAbove) {
        // The start moves up one slot; the slot left behind keeps the record.
        size_t front = frontSlots();
        uint32_t first = front ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(items[-1]) &
                                                       ((1u << kFirstCapacityBits) - 1))
                               : firstCapacity;
        ++items;
        --capacity;
        --count;
        items[-1] = reinterpret_cast<void*>((front + 1) << kFirstCapacityBits | first);
        firstCapacity = kHasFront;
        return;
    }
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
