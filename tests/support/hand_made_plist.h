#pragma once
// Binary property lists written byte by byte, so that a test can hand a reader what no writer
// makes: shared containers, cycles, NULs.
#include <vector>

#include "platform/bytes.h"

namespace oakenmere::testing {

// "bplist00", the objects' encodings in order, a table of two-byte offsets and a trailer with
// one-byte references; the first object is the top.
platform::Bytes binaryPlist(const std::vector<platform::Bytes>& objects);

}  // namespace oakenmere::testing
