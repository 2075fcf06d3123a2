#include "platform/date.h"

#include <cmath>

namespace oakenmere::platform {

Date Date::now() {
    using namespace std::chrono;
    auto since = duration_cast<duration<double>>(system_clock::now().time_since_epoch());
    return fromUnixSeconds(since.count());
}

bool Date::isFinite() const noexcept { return std::isfinite(secondsSinceReferenceDate); }

Date Date::onCalendar() const noexcept {
    // 0001-01-01 and 9999-12-31 UTC, each moved a day inwards: zones reach 14 hours either way.
    constexpr double kFirst = -62'135'596'800.0 + 86'400, kLast = 253'402'214'400.0 - 86'400;
    const double seconds = unixSeconds();
    if (seconds < kFirst) return fromUnixSeconds(kFirst);
    if (seconds > kLast) return fromUnixSeconds(kLast);
    return *this;
}

}  // namespace oakenmere::platform
