#pragma once
// A binary property list is a table of objects that refer to each other by number, so a file of
// a few hundred bytes can describe a graph that a reader expanding it into a tree turns into
// millions of nodes, or a cycle. This check walks the object table itself, touching every
// object at most once, before any reader expands it.
#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"

namespace oakenmere::platform {

struct PropertyListShapeLimits {
    std::size_t largestObjectCount = 4096;
    std::size_t deepestNesting = 32;
    // What the expanded tree may cost: every reference counts 64 bytes of node plus the bytes of
    // the string or data it reaches, so one large string referred to many times is refused too.
    std::uint64_t largestExpandedSize = 4 << 20;
};

// Throws DecodingError unless `bytes` (which start with "bplist00") has a sound trailer and
// offset table, every object lies inside the file, no array, set or dictionary is referred to
// twice (leaves may be shared, as writers share equal strings), there is no cycle, no string
// holds a NUL, and the limits hold.
void checkBinaryPropertyListShape(ByteView bytes, const PropertyListShapeLimits& limits = {});

}  // namespace oakenmere::platform
