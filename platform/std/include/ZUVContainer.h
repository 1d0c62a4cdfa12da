// ZUVContainer: the base of the foundation's containers.
#ifndef ZUVCONTAINER_H
#define ZUVCONTAINER_H

#include <cstddef>
#include <cstdint>

#include "ZUVPool.h"
#include "ZUVStdExport.h"

// Containers hold untyped pointers and never own what they point to: a
// container's destructor frees the container alone, never its values.
class ZUVSTD_API ZUVContainer {
public:
    virtual ~ZUVContainer();

    //@{
    // Containers made with `new` come from the pool; the virtual destructor
    // hands the right size back.
    static void* operator new(size_t size) { return ZUVPool::allocateFast(size); }
    static void operator delete(void* block, size_t size) noexcept {
        ZUVPool::release(block, size);
    }
    //@}

    // Orders two stored values; negative, zero or positive. The default
    // compares the addresses: the first pointer minus the second.
    virtual long compare2Object(const void* a, const void* b) const;
    // Orders two keys; negative, zero or positive. The default compares the
    // addresses: the first pointer minus the second.
    virtual long compare2Key(const void* a, const void* b) const;

protected:
    // An empty base, for subclasses only.
    ZUVContainer() = default;
    //@{
    // Subclasses that copy get the base's copy, which holds nothing: the
    // values a copy points to stay with whoever owned them.
    ZUVContainer(const ZUVContainer&) = default;
    ZUVContainer& operator=(const ZUVContainer&) = default;
    //@}
};

#endif
