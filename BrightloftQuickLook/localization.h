#pragma once
// Page texts are looked up in the "oakenmere" gettext catalogue with the English text as the
// key, so English needs no catalogue. The build extracts every localized("...") call into
// oakenmere.pot.
#include <initializer_list>
#include <string>
#include <string_view>

namespace oakenmere::BrightloftQuickLook {

inline constexpr const char* kTextDomain = "oakenmere";

// Points the catalogue lookup at `localeDirectory` (…/share/locale) and makes the process use
// the user's locale. The host calls it once at start.
void bindTranslations(const std::string& localeDirectory);

std::string localized(const char* english);

// Marks an English text that is looked up later (the words of a counted noun).
constexpr const char* translatable(const char* english) { return english; }

// A localized sentence with values: "{0}" in the looked-up text stands for the first value,
// "{1}" for the second, so a translation may reorder them.
std::string localizedFormat(const char* english, std::initializer_list<std::string_view> values);

}  // namespace oakenmere::BrightloftQuickLook
