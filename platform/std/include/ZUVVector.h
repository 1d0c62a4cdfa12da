// ZUVVector: a growable array of untyped pointers.
#ifndef ZUVVECTOR_H
#define ZUVVECTOR_H

#include "ZUVContainer.h"
#include "ZUVStdExport.h"

// A contiguous array of pointers, in the order they were placed. One pointer
// is kept inside the object, so a vector that never holds more than one
// element allocates nothing, and the object is three words. Indexes outside
// 0..size()-1 are harmless: elementAt() returns null and the removals do
// nothing. Not copyable.
class ZUVSTD_API ZUVVector : public ZUVContainer {
public:
    // Empty. `initialCapacity` is the room taken at the first allocation,
    // clamped to 2..15.
    explicit ZUVVector(int initialCapacity = 4);
    // Frees the array, never the elements.
    ~ZUVVector() override;
    ZUVVector(const ZUVVector&) = delete;
    ZUVVector& operator=(const ZUVVector&) = delete;

    // Appends `element` (null is stored like any pointer). When the array is
    // full, `geometric` true doubles its room (for lists that may grow long);
    // false grows it by half (for lists that stay short).
    void addElement(const void* element, bool geometric = true) {
        if (static_cast<unsigned>(count) == capacity) reserveFor(count + 1, geometric);
        data()[count++] = const_cast<void*>(element);
    }
    // Makes room for one more element, growing as addElement would, so that
    // the next addElement or insertElementAt cannot fail.
    void prepareAdd(bool geometric = true) {
        if (static_cast<unsigned>(count) == capacity) reserveFor(count + 1, geometric);
    }
    // Makes room for `capacity` elements in all, exactly, so that filling a
    // list whose size is known takes one allocation and no more room.
    // Throws std::bad_alloc, changing nothing, when memory runs out.
    void reserve(int capacity);
    // Makes the size `size` (0 when negative): elements beyond it are dropped,
    // new ones are null, and a vector that grows gets room for `size`
    // exactly, an empty one from the pool's inline path (a list built at its
    // known length). Throws std::bad_alloc, changing nothing, when memory
    // runs out, std::length_error above the largest capacity.
    void setSize(int size);
    // Puts `element` at `index`, moving later ones up; `index` equal to size()
    // appends. Returns false, storing nothing, for any other index.
    bool insertElementAt(const void* element, int index);
    // Removes the element at `index`, keeping the order of the rest. Does
    // nothing outside 0..size()-1.
    void removeElement(int index) {
        // The last one, as a stack pops it, moves nothing.
        if (index >= 0 && index == count - 1)
            --count;
        else
            removeInside(index);
    }
    // Removes every element; keeps the array for reuse.
    void removeAllElements() { count = 0; }
    // Gives back the room beyond the elements: the array shrinks to the
    // size, and a vector of at most one element goes back to the inline
    // slot. For lists that are done growing; never throws.
    void trim() noexcept;

    // For a list that is kept equal to another, `owner`: shows the owner's
    // elements, in the owner's array, without owning it. Every change then
    // goes to the owner and is shown again with mirror(); the mirror itself
    // is never changed, and forget()s the array before it is destroyed. An
    // array of its own is freed first.
    void mirror(const ZUVVector& owner) noexcept {
        if (capacity != 1 && !mirrors(owner)) releaseArray();
        count = owner.count;
        capacity = owner.capacity;
        if (capacity == 1)
            slot = owner.slot;
        else
            items = owner.items;
    }
    // True when this vector shows `owner`'s array.
    bool mirrors(const ZUVVector& owner) const noexcept {
        return capacity != 1 && owner.capacity != 1 && items == owner.items;
    }
    // A mirror of `owner` takes a copy of the array as its own, so that the
    // two may differ from then on; throws std::bad_alloc, changing nothing,
    // when memory runs out. Nothing for any other vector.
    void unmirror(const ZUVVector& owner);
    // A mirror lets go of the array it shows, without freeing it, and is
    // empty.
    void forget() noexcept {
        slot = nullptr;
        count = 0;
        capacity = 1;
    }

    // The element at `index`, or null outside 0..size()-1.
    void* elementAt(int index) const {
        return static_cast<unsigned>(index) < static_cast<unsigned>(count) ? data()[index]
                                                                           : nullptr;
    }
    // The elements in place, size() of them, for a caller that reorders
    // them (say, sorts them); they stay the caller's, as ever. Never null.
    void** getArray() { return data(); }
    // Index of the first element that is `element` (by identity), or -1.
    int indexOf(const void* element) const;
    // Number of elements.
    int size() const { return count; }

private:
    // Capacity 1 is the inline slot; above it, `items` is the array.
    void** data() { return capacity == 1 ? &slot : items; }
    void* const* data() const { return capacity == 1 ? &slot : items; }
    void reserveFor(int needed, bool geometric);
    void removeInside(int index);
    void releaseArray() noexcept;
    // Slots between the start of the array's block and `items`, after
    // removals from the front; 0 for most vectors.
    size_t frontSlots() const noexcept;
    // Moves the elements back to the start of the block.
    void dropFront() noexcept;

    union {
        void** items;
        void* slot;
    };
    int count = 0;
    uint32_t capacity : 28;
    uint32_t firstCapacity : 4;
};

static_assert(sizeof(ZUVVector) == 3 * sizeof(void*), "a vector is meant to be three words");

#endif
