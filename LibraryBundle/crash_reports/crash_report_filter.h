#pragma once
// Diagnostic reports cut down before they are kept: only the keys that describe a crash, hang or
// exception survive, and every string in them loses file paths, the home folder and the user's
// name, so a kept report can be sent with feedback without telling whose machine it came from.
#include <optional>
#include <string>
#include <string_view>

#include "platform/bytes.h"

namespace oakenmere::LibraryBundle {

namespace CrashReportFilter {

// The payload cut to the allow-lists and scrubbed, pretty-printed with sorted keys; nothing when it
// is not a JSON object or keeps no diagnostic. Never throws.
std::optional<std::string> filtered(platform::ByteView payload, std::string_view home, std::string_view userName) noexcept;

// `text` with each line's paths replaced by "<path>", then `home` by "<path>" (unless it is empty
// or "/") and `userName` by "<user>" (unless it is shorter than 3 characters).
std::string redacted(std::string_view text, std::string_view home, std::string_view userName);

}  // namespace CrashReportFilter

}  // namespace oakenmere::LibraryBundle
