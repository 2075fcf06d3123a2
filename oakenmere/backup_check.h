#pragma once
// Checks a whole backup against its manifest and names every problem, where the library layer's
// validation stops at the first: files missing, files whose bytes differ (or that are no longer
// plain files), and files the manifest does not list. `jobs` verifiers hash files at once, each
// on its own; the answer is the same for any number.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "LibraryBundle/maintenance/library_backup_manifest.h"

namespace oakenmere::cli {

struct BackupProblems {
    std::vector<std::string> missing, changed, unexpected;  // relative paths; missing and changed in manifest order, unexpected sorted
    std::int64_t bytes = 0;                                 // of the listed files found
    bool none() const { return missing.empty() && changed.empty() && unexpected.empty(); }
};

// `progress` is told bytes hashed so far of `total` (may be called from any verifier, one at a time).
BackupProblems checkBackup(const std::filesystem::path& backup, const LibraryBundle::LibraryBackupManifest& manifest, int jobs,
                           const std::function<void(std::int64_t done, std::int64_t total)>& progress, const std::stop_token& stop);

}  // namespace oakenmere::cli
