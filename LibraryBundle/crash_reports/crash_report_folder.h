#pragma once
// The folder diagnostic reports are kept in: files named "Crash report <stamp>.json" by the
// report's UTC date (" 2", " 3", … added within one second), so that names sort in time order,
// and never more than `limit` of them, the oldest going first.
#include <filesystem>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/date.h"

namespace oakenmere::LibraryBundle {

class CrashReportFolder {
public:
    static constexpr int defaultLimit = 20;

    // A limit below 1 keeps one report.
    explicit CrashReportFolder(std::filesystem::path url, int limit = defaultLimit);

    const std::filesystem::path& url() const noexcept { return url_; }
    int limit() const noexcept { return limit_; }

    // The report files, oldest first; empty when the folder cannot be listed.
    std::vector<std::filesystem::path> reports() const;
    // Writes `data` atomically under the first free name for `date` (the folder and those above it
    // made as needed), prunes, and returns the file. Throws the file system's std::system_error.
    std::filesystem::path save(platform::ByteView data, platform::Date date) const;
    // Deletes the oldest reports beyond the limit; one that cannot be deleted stays.
    void prune() const;

    // "Crash report 2026-12-04 06.32.54.json", with " <number>" before ".json" from 2 on.
    static std::string fileName(platform::Date date, int number = 1);

private:
    std::filesystem::path url_;
    int limit_;
};

}  // namespace oakenmere::LibraryBundle
