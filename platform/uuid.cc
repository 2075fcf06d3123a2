#include "platform/uuid.h"

#include <uuid/uuid.h>

namespace oakenmere::platform {

Uuid Uuid::random() {
    std::array<std::uint8_t, 16> bytes{};
    ::uuid_generate_random(bytes.data());
    return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    // uuid_parse reads a C string; checking the length first also rules out embedded NULs.
    if (text.size() != 36) return std::nullopt;
    std::string copy(text);
    if (copy.find('\0') != std::string::npos) return std::nullopt;
    std::array<std::uint8_t, 16> bytes{};
    if (::uuid_parse(copy.c_str(), bytes.data()) != 0) return std::nullopt;
    return Uuid(bytes);
}

std::string Uuid::string() const {
    char text[37];
    ::uuid_unparse_upper(bytes_.data(), text);
    return std::string(text, 36);
}

}  // namespace oakenmere::platform
