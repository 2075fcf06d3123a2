#pragma once
// The error a long operation ends with when its caller asked it to stop.
#include <stdexcept>
#include <stop_token>

namespace oakenmere::platform {

class CancellationError : public std::runtime_error {
public:
    CancellationError() : std::runtime_error("The operation was cancelled.") {}
};

inline void throwIfCancelled(const std::stop_token& token) {
    if (token.stop_requested()) throw CancellationError();
}

}  // namespace oakenmere::platform
