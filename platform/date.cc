#include "platform/date.h"

#include <cmath>

namespace oakenmere::platform {

Date Date::now() {
    using namespace std::chrono;
    auto since = duration_cast<duration<double>>(system_clock::now().time_since_epoch());
    return fromUnixSeconds(since.count());
}

bool Date::isFinite() const noexcept { return std::isfinite(secondsSinceReferenceDate); }

bool Date::isOnCalendar() const noexcept {
    // 0001-01-01 and 10000-01-01 UTC, each moved a day inwards: zones reach 14 hours either way.
    constexpr double kFirst = -62'135'596'800.0 + 86'400, kEnd = 253'402'300'800.0 - 86'400;
    const double seconds = unixSeconds();
    return seconds >= kFirst && seconds < kEnd;  // false for NaN too
}

}  // namespace oakenmere::platform
