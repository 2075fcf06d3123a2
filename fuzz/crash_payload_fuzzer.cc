// Arbitrary bytes as a diagnostic payload: filtering never crashes, and a report it keeps is JSON
// whose strings hold neither the home folder nor the user's name, and which filters to itself.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "LibraryBundle/crash_reports/crash_report_filter.h"
#include "platform/json.h"

using namespace oakenmere;

namespace {

constexpr std::string_view kHome = "/home/annsmith", kUser = "annsmith";

// Object keys below a kept key are not redacted, so only the strings themselves are searched.
bool holdsPrivateText(const platform::Json& value) {
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        return text.find(kHome) != std::string::npos || text.find(kUser) != std::string::npos;
    }
    if (value.is_structured())
        for (const platform::Json& element : value)
            if (holdsPrivateText(element)) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using LibraryBundle::CrashReportFilter::filtered;
    const auto kept = filtered({data, size}, kHome, kUser);
    if (!kept) return 0;
    platform::Json report;
    try {
        report = platform::parseJson(platform::asBytes(*kept));
    } catch (const platform::DecodingError&) {
        std::abort();
    }
    if (holdsPrivateText(report)) std::abort();
    // A whole number written with a fraction ("4.0") reads back as an integer, so only the value
    // survives a second filtering unchanged; from then on the bytes do too.
    const auto again = filtered(platform::asBytes(*kept), kHome, kUser);
    if (!again || platform::parseJson(platform::asBytes(*again)) != report) std::abort();
    if (filtered(platform::asBytes(*again), kHome, kUser) != again) std::abort();
    return 0;
}
