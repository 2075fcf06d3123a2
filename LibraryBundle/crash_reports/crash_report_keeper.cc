#include "LibraryBundle/crash_reports/crash_report_keeper.h"

#include "LibraryBundle/crash_reports/crash_report_filter.h"

namespace oakenmere::LibraryBundle {

CrashReportKeeper::CrashReportKeeper(CrashReportFolder folder, std::string home, std::string userName, std::function<void()> subscribe,
                                     std::function<void()> unsubscribe)
    : folder_(std::move(folder)), home_(std::move(home)), userName_(std::move(userName)), subscribe_(std::move(subscribe)),
      unsubscribe_(std::move(unsubscribe)) {}

bool CrashReportKeeper::isKeeping() const {
    std::lock_guard guard(lock_);
    return keeping_;
}

void CrashReportKeeper::setKeeping(bool on) {
    {
        std::lock_guard guard(lock_);
        if (keeping_ == on) return;
        keeping_ = on;
    }
    // Outside the lock: a subscription may deliver reports, and receive takes the lock.
    const auto& change = on ? subscribe_ : unsubscribe_;
    if (change) change();
}

std::vector<std::filesystem::path> CrashReportKeeper::receive(const std::vector<platform::Bytes>& payloads, platform::Date date) {
    std::vector<std::string> reports;
    for (const platform::Bytes& payload : payloads)
        if (auto report = CrashReportFilter::filtered(payload, home_, userName_)) reports.push_back(std::move(*report));
    std::vector<std::filesystem::path> written;
    std::lock_guard guard(lock_);
    if (!keeping_) return written;
    for (const std::string& report : reports) {
        try {
            written.push_back(folder_.save(platform::asBytes(report), date));
        } catch (const std::exception&) {
            // One report that cannot be written does not keep the others from being kept.
        }
    }
    return written;
}

}  // namespace oakenmere::LibraryBundle
