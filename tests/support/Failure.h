#pragma once
// What a call failed with, as one short word or two, so that tables of cases can say what they
// expect: "invalidBundle", "unsupportedVersion 2 by Oakenmere 9.0", "unsafePath /a/b",
// "tooLarge", "errno ENOENT", "cancelled", "decoding"; another exception's message; "" when
// the call succeeded.
#include <functional>
#include <string>

namespace oakenmere::testing {

std::string failureOf(const std::function<void()>& call);

// "errno ENOENT" for ENOENT, as failureOf() writes POSIX errors.
std::string errnoName(int err);

}  // namespace oakenmere::testing
