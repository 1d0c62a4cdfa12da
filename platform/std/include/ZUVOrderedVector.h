// ZUVOrderedVector: a vector whose removals keep the order of the rest.
#ifndef ZUVORDEREDVECTOR_H
#define ZUVORDEREDVECTOR_H

#include "ZUVStdExport.h"
#include "ZUVVector.h"

// A ZUVVector that promises document order: elements stay where they were
// placed, and every removal closes the gap without reordering.
class ZUVSTD_API ZUVOrderedVector : public ZUVVector {
public:
    // Empty, with a small first allocation.
    ZUVOrderedVector() : ZUVVector(4) {}
    // Empty; `initialCapacity` is the room taken at the first allocation.
    explicit ZUVOrderedVector(int initialCapacity) : ZUVVector(initialCapacity) {}
    ~ZUVOrderedVector() override;

    // Removes the element at `index`, keeping the order of the rest. Does
    // nothing outside 0..size()-1.
    void remove(int index) { removeElement(index); }
};

#endif
