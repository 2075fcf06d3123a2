#pragma once
// What a call failed with, as one short word or two, so that tables of cases can say what they
// expect: "invalidBundle", "unsupportedVersion 2 by Oakenmere 9.0", "unsafePath /a/b",
// "keptCopy", "destinationExists a.jpg", "refused hard link EIO a.jpg", "tooLarge",
// "errno ENOENT", "cancelled", "decoding"; another exception's message; "" when the call
// succeeded. The messages themselves are checked word for word once, in ErrorsTest,
// ExclusivePublisherTest or, where a user meets them, the program's tests.
#include <exception>
#include <functional>
#include <string>

namespace oakenmere::testing {

std::string failureOf(const std::function<void()>& call);
// The same for a failure already caught; "" for none.
std::string failureOf(const std::exception_ptr& failure);

// "errno ENOENT" for ENOENT, as failureOf() writes POSIX errors.
std::string errnoName(int err);

}  // namespace oakenmere::testing
