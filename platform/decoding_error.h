#pragma once
// A record read from disk that does not have the shape its type requires.
#include <stdexcept>
#include <string>

namespace oakenmere::platform {

class DecodingError : public std::runtime_error {
public:
    explicit DecodingError(const std::string& detail)
        : std::runtime_error("The data couldn\u2019t be read because it isn\u2019t in the correct format: " + detail) {}
};

}  // namespace oakenmere::platform
