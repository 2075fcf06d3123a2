#include "platform/printable.h"

#include <cstdio>
#include <unicode/utf8.h>

namespace oakenmere::platform {

namespace {

bool isBidirectionalControl(UChar32 c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string escaped(const char* format, unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

enum class Style { text, json };

std::string escapeSteering(std::string_view text, Style style) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        const bool steers = c == 0x7F || (c >= 0x80 && c <= 0x9F) || isBidirectionalControl(c);
        if (style == Style::json) {
            // JSON escapes C0 controls itself and is valid UTF-8; these are left to us.
            out += steers ? escaped("\\u%04X", static_cast<unsigned>(c)) : std::string(text.substr(start, i - start));
        } else if (c < 0) {
            // One byte that does not start well-formed UTF-8: show it, go on from the next.
            i = start + 1;
            out += escaped("\\x%02X", bytes[start]);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += escaped("\\x%02X", static_cast<unsigned>(c));
        } else if (steers) {
            out += escaped("\\u{%04X}", static_cast<unsigned>(c));
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    return out;
}

}  // namespace

std::string printable(std::string_view text) { return escapeSteering(text, Style::text); }

std::string printableJson(std::string_view json) { return escapeSteering(json, Style::json); }

}  // namespace oakenmere::platform
