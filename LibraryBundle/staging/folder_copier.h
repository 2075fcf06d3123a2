#pragma once
// Carries out one folder copy job: each source is copied into the job's destination with the
// verified copy, recorded in the job's ledger, and recognised when the library already holds its
// content or an earlier file of the job had the same bytes. A run may be cancelled or killed at
// any moment and started again with the same job: finished, unchanged files are not copied again,
// abandoned half copies are removed, and a file an earlier run published but did not record is
// recognised by its claimed name and adopted.
//
// Files of a job that moves camera downloads (movingDownloadsFrom) are moved rather than copied
// when they are unchanged since they landed and on the destination's volume; their checksum is the
// download ledger's.
//
// Per-file problems become failures with a readable reason; the run itself fails only when a
// ledger cannot be read, or on cancellation. The copier holds no state between runs. Two runs of
// one job must not overlap.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "LibraryBundle/core/host_contract.h"
#include "LibraryBundle/staging/folder_copy_job.h"
#include "LibraryBundle/staging/folder_copy_ledger.h"

namespace oakenmere::LibraryBundle {

struct FolderCopyOutcome {
    struct Failure {
        std::string source;
        std::string reason;
        bool operator==(const Failure&) const = default;
    };
    std::vector<FolderCopyLedger::Entry> copied;      // in job order, those of earlier runs included
    std::vector<FolderCopyLedger::Entry> duplicates;  // held by the library or earlier in the job
    std::vector<Failure> failures;
    std::int64_t unheldChecks = 0;  // held checks that failed (the file was kept)

    // The distinct reasons in order of first appearance, "reason (3 files)" for repeated ones.
    std::vector<std::string> failureReasons() const;
    bool operator==(const FolderCopyOutcome&) const = default;
};

class FolderCopier {
public:
    static constexpr std::string_view halfCopyPrefix = VerifiedFileCopy::temporaryPrefix;

    FolderCopier(FolderCopyJob job, std::filesystem::path folder, VerifiedFileCopy& copier)
        : job_(std::move(job)), folder_(std::move(folder)), copier_(copier) {}

    const FolderCopyJob& job() const noexcept { return job_; }
    const std::filesystem::path& folder() const noexcept { return folder_; }

    // Throws what reading a ledger throws, and platform::CancellationError.
    FolderCopyOutcome run(const Host::IsHeld& isHeld, const Host::Progress& progress, const std::stop_token& stop = {}) const;

    // The error's message, with the message of an error nested in it when that adds anything.
    static std::string reason(const std::exception_ptr& error);
    // The n-th other name for `name`: IMG_0001.JPG gives IMG_0001-1.JPG, archive.tar.gz gives
    // archive-1.tar.gz, README gives README-1, .profile gives .profile-1; n below 1 gives `name`.
    static std::string suffixed(std::string_view name, std::int64_t n);

private:
    class Run;
    FolderCopyJob job_;
    std::filesystem::path folder_;
    VerifiedFileCopy& copier_;
};

}  // namespace oakenmere::LibraryBundle
