#pragma once
// UUIDs: written in the 36-character hyphenated upper-case form, read in either case.
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace oakenmere::platform {

class Uuid {
public:
    Uuid() = default;  // the nil UUID
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    static Uuid random();
    // Only the 36-character hyphenated form, hexadecimal digits in either case.
    static std::optional<Uuid> parse(std::string_view text);

    std::string string() const;  // upper case
    const std::array<std::uint8_t, 16>& bytes() const noexcept { return bytes_; }

    auto operator<=>(const Uuid&) const = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace oakenmere::platform
