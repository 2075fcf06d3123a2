#include "platform/date.h"

#include <cmath>

namespace oakenmere::platform {

Date Date::now() {
    using namespace std::chrono;
    auto since = duration_cast<duration<double>>(system_clock::now().time_since_epoch());
    return fromUnixSeconds(since.count());
}

bool Date::isFinite() const noexcept { return std::isfinite(secondsSinceReferenceDate); }

}  // namespace oakenmere::platform
