// ZUVContainer: the base of the foundation's containers.
#ifndef ZUVCONTAINER_H
#define ZUVCONTAINER_H

#include <cstdint>

#include "ZUVStdExport.h"

// Containers hold untyped pointers and never own what they point to: a
// container's destructor frees the container alone, never its values.
class ZUVSTD_API ZUVContainer {
public:
    virtual ~ZUVContainer();

    // Orders two stored values; negative, zero or positive. The default
    // compares the addresses: the first pointer minus the second.
    virtual long compare2Object(const void* a, const void* b) const;
    // Orders two keys; negative, zero or positive. The default compares the
    // addresses: the first pointer minus the second.
    virtual long compare2Key(const void* a, const void* b) const;

protected:
    ZUVContainer() = default;
    ZUVContainer(const ZUVContainer&) = default;
    ZUVContainer& operator=(const ZUVContainer&) = default;
};

#endif
