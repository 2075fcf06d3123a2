#pragma once
// Text as people see it: user-perceived characters (extended grapheme clusters) and
// locale-independent lower-casing, both through ICU. Invalid UTF-8 counts as U+FFFD.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace oakenmere::platform {

// Whether the bytes are well-formed UTF-8 (no stray, overlong or surrogate sequences).
bool isValidUtf8(std::string_view bytes);

std::size_t graphemeCount(std::string_view utf8);
// True when `utf8` has at most `limit` characters; cheap for short strings.
bool hasAtMostGraphemes(std::string_view utf8, std::size_t limit);
std::vector<std::string> graphemeClusters(std::string_view utf8);
// The same, but a byte that is not part of well-formed UTF-8 is kept as a character of its own,
// so the pieces join back into exactly `bytes`.
std::vector<std::string> graphemeClustersKeepingBytes(std::string_view bytes);
// `bytes` as text, each byte that is not part of well-formed UTF-8 written as \xE9.
std::string escapingInvalidUtf8(std::string_view bytes);
std::string lowercased(std::string_view utf8);

// Columns a terminal gives the text: wide East Asian characters take two, combining marks none.
std::size_t displayWidth(std::string_view utf8);
// As many whole characters of `utf8` as fit in `columns` - 1 columns, with "…" on the side
// where text was left out: the end is cut when keeping the start, the start when keeping the end.
enum class Keep { start, end };
std::string withEllipsis(std::string_view utf8, std::size_t columns, Keep keep);

// Lines of at most `columns` columns, broken at spaces; a word longer than a line is broken
// between characters. Existing line breaks are kept.
std::vector<std::string> wrapText(std::string_view utf8, std::size_t columns);

}  // namespace oakenmere::platform
