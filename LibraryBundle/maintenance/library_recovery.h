#pragma once
// Verified, file-by-file backups of a library package, their validation, and their restoration
// into a new package. Every file copied either way goes through VerifiedFileCopy, so a backup or
// a restored library holds only bytes whose SHA-256 was checked. A backup mirrors the package's
// layout and adds "backup.json" (LibraryBackupManifest), written last: a backup without it is an
// unfinished one and never taken for a complete one.
//
// Backup and restore make their destination themselves (mode 0700, the parent must exist) and
// refuse one that exists or lies inside their source. A failure leaves what was written in place
// and removes nothing. Paths from a manifest are joined inside the backup, refused when they leave
// it or pass a symbolic link, and hashed through a descriptor opened beneath the backup; the
// verified copy then opens a restored file by its (checked) path and proves its bytes against
// the manifest.
//
// The catalogue must be closed (its write-ahead log folded in) before a backup; the caller makes
// sure of that and holds the library's lock. One operation at a time per instance.
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "LibraryBundle/maintenance/library_backup_manifest.h"

namespace oakenmere::LibraryBundle {

class LibraryRecovery {
public:
    // The package's folders in the order they are worked on; the last five are optional.
    static constexpr std::array<const char*, 12> packageFolders{"Database", "Masters",     "Edits", "Jobs", "Staging", "Previews",
                                                                "Logs",     "Suggestions", "Masks", "LUTs", "Imports", "Footprints"};

    // Told the bytes done so far of all the operation will read or copy, after each block.
    using Progress = std::function<void(std::int64_t done, std::int64_t total)>;
    Progress progress;

    // Backs up the package `library` into the new folder `destination` and returns the manifest
    // written. A library that changes meanwhile is VerifiedCopyError::sourceChanged (keptCopy for a
    // file that changes while it is copied); a file name that is not UTF-8 std::invalid_argument.
    LibraryBackupManifest backupClosedCatalog(const std::filesystem::path& library, const std::filesystem::path& destination,
                                              const std::stop_token& stop = {});
    // Reads the manifest (readManifest) and hashes every file it lists; the first file that
    // differs is VerifiedCopyError::hashMismatch, one that is missing a POSIX error.
    LibraryBackupManifest validate(const std::filesystem::path& backup, const std::stop_token& stop = {});
    // Validates the backup, then rebuilds the package in the new folder `destination`, every file
    // checked against the manifest and "Info.plist" last.
    void restore(const std::filesystem::path& backup, const std::filesystem::path& destination, const std::stop_token& stop = {});

    // The backup's manifest, checked before any file is read: LibraryRecoveryError::invalidBackup
    // for one too large, undecodable, of another version, without "Info.plist", with a path twice
    // or an unexpected file under "Imports/"; a missing manifest is a POSIX error (ENOENT).
    static LibraryBackupManifest readManifest(const std::filesystem::path& backup);
    // The package's files a backup takes, relative to the package, sorted. A symbolic link other
    // than a job's working link is unsafePath.
    static std::vector<std::string> filesOf(const std::filesystem::path& library);
    // The checksum of `relative` opened beneath the open folder `root`, refusing a file that
    // changes while it is read (sourceChanged).
    static std::string hashInside(const platform::UniqueFd& root, const std::string& relative, const std::stop_token& stop = {});
    // Asks the kernel to start reading `relative` beneath `root`, so that while one file is
    // hashed the next comes off the disk; anything amiss is left for the hash to meet.
    static void prefetchInside(const platform::UniqueFd& root, const std::string& relative) noexcept;

private:
    std::mutex serial_;
    VerifiedFileCopy copier_;
};

}  // namespace oakenmere::LibraryBundle
