// ZUVHashtable: the interface of the foundation's keyed tables.
#ifndef ZUVHASHTABLE_H
#define ZUVHASHTABLE_H

#include "ZUVContainer.h"
#include "ZUVStdExport.h"

// A table of untyped values under keys. Tables never own their values.
class ZUVSTD_API ZUVHashtable : public ZUVContainer {
public:
    // Walks a table's entries. Changing the table while an iterator is out
    // (other than replacing values) makes the iterator's results undefined.
    class ZUVSTD_API Iterator {
    public:
        virtual ~Iterator();

        //@{
        // Iterators made with `new` come from the pool, like the tables.
        static void* operator new(size_t size) { return ZUVPool::allocateFast(size); }
        static void operator delete(void* block, size_t size) noexcept {
            ZUVPool::release(block, size);
        }
        //@}
        // The current entry's value, or null when the walk is over.
        virtual void* get() const = 0;
        // Moves `steps` entries on; returns the new current value, or null
        // when the walk is over. Never reads the value it leaves, so that
        // value may already have been freed.
        virtual void* next(int steps = 1) = 0;

    protected:
        Iterator() = default;
    };

    ~ZUVHashtable() override;

    // Number of entries.
    virtual int size() const = 0;
    // A new iterator on the first entry; hand it back with releaseIterator().
    // `forward` true walks first to last, false last to first.
    virtual Iterator* createIterator(bool forward) = 0;
    // Takes back an iterator from createIterator() and frees it; null is
    // ignored.
    virtual void releaseIterator(Iterator* iterator) = 0;

protected:
    ZUVHashtable() = default;
};

#endif
