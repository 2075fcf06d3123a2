#include "BrightloftQuickLook/localization.h"

#include <clocale>
#include <libintl.h>
#include <vector>

namespace oakenmere::BrightloftQuickLook {

void bindTranslations(const std::string& localeDirectory) {
    std::setlocale(LC_ALL, "");
    ::bindtextdomain(kTextDomain, localeDirectory.c_str());
    ::bind_textdomain_codeset(kTextDomain, "UTF-8");
}

std::string localized(const char* english) { return ::dgettext(kTextDomain, english); }

std::string localizedFormat(const char* english, std::initializer_list<std::string_view> values) {
    std::string pattern = localized(english);
    std::vector<std::string_view> args(values);
    std::string out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '{' && i + 2 < pattern.size() && pattern[i + 2] == '}' && pattern[i + 1] >= '0' && pattern[i + 1] <= '9') {
            auto index = static_cast<std::size_t>(pattern[i + 1] - '0');
            if (index < args.size()) {
                out += args[index];
                i += 2;
                continue;
            }
        }
        out.push_back(pattern[i]);
    }
    return out;
}

}  // namespace oakenmere::BrightloftQuickLook
