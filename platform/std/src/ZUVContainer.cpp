#include "ZUVContainer.h"
#include "ZUVHashtable.h"
#include "ZUVOrderedVector.h"

ZUVContainer::~ZUVContainer() = default;

// Addresses compared as integers: subtracting unrelated pointers is undefined.
long ZUVContainer::compare2Object(const void* a, const void* b) const {
    return static_cast<long>(reinterpret_cast<intptr_t>(a) - reinterpret_cast<intptr_t>(b));
}

long ZUVContainer::compare2Key(const void* a, const void* b) const {
    return static_cast<long>(reinterpret_cast<intptr_t>(a) - reinterpret_cast<intptr_t>(b));
}

ZUVHashtable::Iterator::~Iterator() = default;
ZUVHashtable::~ZUVHashtable() = default;
ZUVOrderedVector::~ZUVOrderedVector() = default;
