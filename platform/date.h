#pragma once
// Points in time as records store them: seconds since 2001-01-01 00:00:00 UTC.
#include <chrono>
#include <compare>

namespace oakenmere::platform {

struct Date {
    // 2001-01-01 00:00:00 UTC counted from the Unix epoch.
    static constexpr double kReferenceFromUnixEpoch = 978307200.0;

    double secondsSinceReferenceDate = 0;

    static Date now();
    static Date fromUnixSeconds(double seconds) { return Date{seconds - kReferenceFromUnixEpoch}; }
    double unixSeconds() const noexcept { return secondsSinceReferenceDate + kReferenceFromUnixEpoch; }
    bool isFinite() const noexcept;
    // The nearest date within the years 1 to 9999 in every time zone, which a calendar can show
    // (ICU would print the year 5838270 for 1e300 seconds); itself when it lies there, and NaN
    // stays NaN.
    Date onCalendar() const noexcept;

    auto operator<=>(const Date&) const = default;
};

}  // namespace oakenmere::platform
