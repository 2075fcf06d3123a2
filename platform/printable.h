#pragma once
// Text from a library (names, camera names, who wrote a record) is data from anywhere. Before a
// terminal sees it, every character that would steer the terminal instead of being shown is
// written as an escape, as ls and git do for file names: C0 and C1 controls and DEL (ESC, OSC,
// BEL, CR, NUL...) and the bidirectional controls that reorder what is shown (U+202E...).
// Bytes that are not UTF-8 are written as \xE9. Everything else is kept as it is.
#include <string>
#include <string_view>

namespace oakenmere::platform {

// "\n", "\r", "\t" by name; other C0 controls and DEL as \x1B; C1 and bidirectional controls
// as \u{202E}.
std::string printable(std::string_view text);

// The same for a JSON text (valid UTF-8, as encodePrettyJson writes it): DEL, C1 and
// bidirectional controls become \u escapes, so it stays the same JSON and shows safely.
std::string printableJson(std::string_view json);

}  // namespace oakenmere::platform
