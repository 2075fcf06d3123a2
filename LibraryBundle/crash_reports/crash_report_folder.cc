#include "LibraryBundle/crash_reports/crash_report_folder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "platform/atomic_write.h"
#include "platform/file_io.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPrefix = "Crash report ";
constexpr std::string_view kSuffix = ".json";

// Orders names by their stamp, then by their number, so that " 10" follows " 9".
struct SortKey {
    std::string stamp;
    std::int64_t number = 1;
    auto operator<=>(const SortKey&) const = default;
};

// ASCII digits after at most one sign ("+-5" is no number), within 64 bits.
std::optional<std::int64_t> decimalInteger(std::string_view text) {
    const std::string_view digits = text.starts_with('+') || text.starts_with('-') ? text.substr(1) : text;
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    // from_chars takes a '-' but no '+'.
    const char* first = text.starts_with('-') ? text.data() : digits.data();
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

SortKey sortKey(std::string_view name) {
    const std::string_view middle = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0; start < middle.size();) {
        const std::size_t end = std::min(middle.find(' ', start), middle.size());
        if (end > start) pieces.push_back(middle.substr(start, end - start));
        start = end + 1;
    }
    if (pieces.size() == 3)
        if (auto number = decimalInteger(pieces[2])) return {std::string(pieces[0]) + " " + std::string(pieces[1]), *number};
    return {std::string(middle), 1};
}

}  // namespace

CrashReportFolder::CrashReportFolder(fs::path url, int limit) : url_(std::move(url)), limit_(std::max(limit, 1)) {}

std::string CrashReportFolder::fileName(platform::Date date, int number) {
    // A date no calendar can show is named by the nearest one it can (or, if not a number, 2001's first second).
    const platform::Date shown = std::isnan(date.secondsSinceReferenceDate) ? platform::Date{} : date.onCalendar();
    const auto seconds = static_cast<std::time_t>(std::floor(shown.unixSeconds()));
    std::tm parts{};
    // In UTC, so that names sort in time order wherever they were written; local time only if UTC fails.
    if (!gmtime_r(&seconds, &parts) && !localtime_r(&seconds, &parts)) {
        parts = std::tm{};  // 2001-01-01 00:00:00, as for a date that is not a number
        parts.tm_mday = 1;
        parts.tm_year = 101;
    }
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%d-%02d-%02d %02d.%02d.%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min, parts.tm_sec);
    std::string name = std::string(kPrefix) + stamp;
    if (number >= 2) name += " " + std::to_string(number);
    return name += kSuffix;
}

std::vector<fs::path> CrashReportFolder::reports() const {
    std::vector<std::string> names;
    try {
        names = platform::listDirectory(url_);
    } catch (const std::system_error&) {
        return {};  // no folder yet, or one we may not read: nothing kept there
    }
    std::vector<std::pair<SortKey, std::string>> found;
    for (std::string& name : names)
        if (name.starts_with(kPrefix) && name.ends_with(kSuffix)) {
            SortKey key = sortKey(name);
            found.emplace_back(std::move(key), std::move(name));
        }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<fs::path> reports;
    reports.reserve(found.size());
    for (const auto& entry : found) reports.push_back(url_ / entry.second);
    return reports;
}

fs::path CrashReportFolder::save(platform::ByteView data, platform::Date date) const {
    platform::makeFolderTree(url_, 0700);
    const platform::UniqueFd folder = platform::openDirectory(url_);
    int number = 1;
    std::string name = fileName(date);
    while (platform::lstatPath(url_ / name)) name = fileName(date, ++number);
    platform::writeFileAtomically(folder, name, data, ".crash-report-", ".tmp");
    prune();
    return url_ / name;
}

void CrashReportFolder::prune() const {
    const std::vector<fs::path> all = reports();
    const auto excess = static_cast<std::ptrdiff_t>(all.size()) - limit_;
    for (std::ptrdiff_t i = 0; i < excess; ++i) platform::unlinkIgnoringErrors(all[static_cast<std::size_t>(i)]);
}

}  // namespace oakenmere::LibraryBundle
