#pragma once
// Text as people see it: user-perceived characters (extended grapheme clusters) and
// locale-independent lower-casing, both through ICU. Invalid UTF-8 counts as U+FFFD.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace oakenmere::platform {

std::size_t graphemeCount(std::string_view utf8);
// True when `utf8` has at most `limit` characters; cheap for short strings.
bool hasAtMostGraphemes(std::string_view utf8, std::size_t limit);
std::vector<std::string> graphemeClusters(std::string_view utf8);
std::string lowercased(std::string_view utf8);

}  // namespace oakenmere::platform
