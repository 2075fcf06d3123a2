#include "oakenmere/job_progress.h"

#include <map>

#include "LibraryBundle/staging/folder_copy_ledger.h"
#include "platform/file_io.h"

namespace oakenmere::cli {

JobProgress JobProgress::of(const LibraryBundle::FolderCopyJob& job, const std::filesystem::path& folder) {
    std::map<std::string, LibraryBundle::FolderCopyLedger::Entry> entries;
    try {
        entries = LibraryBundle::FolderCopyLedger(platform::entryPath(folder)).entries();
    } catch (const std::system_error&) {
        // Unreadable: shown as not started.
    }
    JobProgress progress{static_cast<std::int64_t>(job.copies.size()), 0, job.totalBytes(), 0};
    for (const auto& copy : job.copies)
        if (entries.contains(copy.source)) ++progress.filesDone, progress.bytesDone += copy.byteCount;
    return progress;
}

}  // namespace oakenmere::cli
