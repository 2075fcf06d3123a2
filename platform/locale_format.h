#pragma once
// Numbers, dates and byte counts written the way the user's locale writes them, through ICU.
// A formatter is made for one locale and one time zone; the default is the process's own
// (LC_ALL, LC_MESSAGES or LANG, read when the formatter is made, and TZ), and tests pass fixed
// ones.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/date.h"

namespace oakenmere::platform {

class LocaleFormat {
public:
    // Empty strings mean the process's current locale and time zone.
    explicit LocaleFormat(const std::string& locale = {}, const std::string& timeZone = {});
    ~LocaleFormat();
    LocaleFormat(LocaleFormat&&) noexcept;
    LocaleFormat& operator=(LocaleFormat&&) noexcept;

    // The locale's integer style, with its grouping: 1,284.
    std::string integer(std::int64_t value) const;
    // Dates beyond the years 1 to 9999 are shown as the nearest of those (Date::onCalendar).
    // Abbreviated date, no time: Nov 30, 2026.
    std::string abbreviatedDate(Date date) const;
    // Abbreviated date and shortened time: Nov 30, 2026, 6:42 PM.
    std::string abbreviatedDateShortTime(Date date) const;
    // A file size in decimal units: "Zero KB", "1 byte", "532 bytes", "12 KB", "1.2 MB",
    // "38.41 GB" (no decimals below a megabyte, one for megabytes, two above).
    std::string fileSize(std::int64_t bytes) const;

    const std::string& localeName() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace oakenmere::platform
