#pragma once
// File and volume names in messages stand in typographic quotation marks.
#include <string>
#include <string_view>

namespace oakenmere::platform {

inline std::string inQuotes(std::string_view name) {
    std::string out = "\u201C";
    out += name;
    out += "\u201D";
    return out;
}

}  // namespace oakenmere::platform
