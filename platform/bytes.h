#pragma once
// Byte buffers as the whole code base passes them.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace oakenmere::platform {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView asBytes(std::string_view text) noexcept { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }
inline std::string_view asText(ByteView bytes) noexcept { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }
inline Bytes toBytes(std::string_view text) {
    auto view = asBytes(text);
    return Bytes(view.begin(), view.end());
}

}  // namespace oakenmere::platform
