#pragma once
// The switch that decides whether diagnostic reports are kept, and where the application hands
// them in. Turning it on asks for the platform's reports (subscribe), turning it off stops them
// (unsubscribe), once per change and outside the lock; destroying the keeper unsubscribes nothing.
// The switch and every save share one lock, so no report is written after setKeeping(false) has
// returned. Usable from any thread.
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "LibraryBundle/crash_reports/crash_report_folder.h"
#include "platform/bytes.h"
#include "platform/date.h"

namespace oakenmere::LibraryBundle {

class CrashReportKeeper {
public:
    CrashReportKeeper(CrashReportFolder folder, std::string home, std::string userName, std::function<void()> subscribe,
                      std::function<void()> unsubscribe);
    CrashReportKeeper(const CrashReportKeeper&) = delete;
    CrashReportKeeper& operator=(const CrashReportKeeper&) = delete;

    const CrashReportFolder& folder() const noexcept { return folder_; }
    const std::string& home() const noexcept { return home_; }
    const std::string& userName() const noexcept { return userName_; }

    bool isKeeping() const;
    void setKeeping(bool on);

    // Filters every payload and, while keeping, saves those with something left under `date`;
    // returns the files written, in payload order. A payload that cannot be saved is skipped.
    std::vector<std::filesystem::path> receive(const std::vector<platform::Bytes>& payloads, platform::Date date);

private:
    const CrashReportFolder folder_;
    const std::string home_;
    const std::string userName_;
    const std::function<void()> subscribe_;
    const std::function<void()> unsubscribe_;
    mutable std::mutex lock_;
    bool keeping_ = false;
};

}  // namespace oakenmere::LibraryBundle
