#pragma once
// How far a saved folder copy job has got, by what its ledger records of the job's own copies.
#include <cstdint>
#include <filesystem>

#include "LibraryBundle/staging/folder_copy_job.h"

namespace oakenmere::cli {

struct JobProgress {
    std::int64_t files = 0, filesDone = 0, bytes = 0, bytesDone = 0;

    // A ledger that cannot be read counts as nothing done.
    static JobProgress of(const LibraryBundle::FolderCopyJob& job, const std::filesystem::path& folder);
};

}  // namespace oakenmere::cli
