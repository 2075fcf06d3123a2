#pragma once
// The record a download folder keeps of every file that has fully landed in it: ".landed.jsonl",
// one compact JSON object per line (keys in a fixed order), only ever appended to. An entry holds
// the file's SHA-256 and its identity, so a later step can trust the file without reading it
// again, recognise it after a rename, and delete it once the library provably holds its bytes.
//
// Paths read from the ledger are joined inside the folder and opened beneath it, so a record
// naming "../x", an absolute path or a path through a symbolic link never reaches outside it.
// The ledger has no lock: one downloader or one copier works on a folder at a time.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stop_token>
#include <string>
#include <utility>

#include "LibraryBundle/copying/source_identity.h"
#include "LibraryBundle/staging/camera_download_area.h"
#include "platform/bytes.h"
#include "platform/file_io.h"

namespace oakenmere::LibraryBundle {

class StagingDeletion;

class CameraDownloadLedger {
public:
    static constexpr const char* fileName = ".landed.jsonl";
    static constexpr std::int64_t maximumBytes = 64 << 20;

    // The identity is the landed file's, from the one status taken when it was hashed.
    struct Entry : SourceIdentity {
        std::string path;  // relative to the folder
        std::string sha256;

        const SourceIdentity& identity() const { return *this; }
        // A regular file with every identity value equal to the entry's.
        bool isSameFile(const platform::FileStatus& status) const;
        // The same without the status-change time, which a rename moves.
        bool isSameFileRenamed(const platform::FileStatus& status) const;
        // lstat of `path` (a link is not followed), then the checks above; false when lstat fails.
        bool matches(const std::filesystem::path& path) const;
        bool matchesRenamed(const std::filesystem::path& path) const;

        bool operator==(const Entry&) const = default;
        std::string encodeJSON() const;
        static Entry decodeJSON(platform::ByteView line);  // throws platform::DecodingError
    };

    // Makes an open file's data durable; may throw.
    using Synchronize = std::function<void(int fd)>;
    // fsync of the descriptor; a failure is a POSIX error (EIO when its code is unknown).
    static void fullSynchronize(int fd);

    explicit CameraDownloadLedger(const std::filesystem::path& folder, Synchronize synchronizing = fullSynchronize);
    const std::filesystem::path& folder() const noexcept { return folder_; }
    const Synchronize& synchronizing() const noexcept { return synchronize_; }

    // Hashes the file inside the folder, makes it durable when asked, and appends its entry. A
    // file outside the folder or reached through a link is VerifiedCopyError::unsafePath; a name
    // that is not UTF-8 (which the ledger cannot hold) std::invalid_argument, also from land().
    Entry record(const std::filesystem::path& file, bool makingDurable) const;
    // Publishes the finished download `partial` under `final` without replacing anything
    // (destinationConflict when the name is taken), flushes the folder and records the file.
    Entry land(const std::filesystem::path& partial, const std::filesystem::path& final) const;
    // Each landed file's last entry by standardised full path; empty without a ledger. Lines that
    // do not decode and paths that leave the folder are skipped.
    std::map<std::string, Entry> entries() const;
    // Records every complete file the ledger does not describe as it is now, but for names that
    // are not UTF-8; the entries afterwards and the survey they were checked against.
    std::pair<std::map<std::string, Entry>, CameraDownloadArea::Survey> recordingUnlisted(const std::stop_token& stop = {}) const;
    // Deletes the landed files among `paths` that are unchanged since they were recorded, both
    // before and after the library was found to hold their content safely, then tries removeIfEmpty.
    bool removeSettled(const std::set<std::string>& paths, const StagingDeletion& deleting, const std::stop_token& stop = {}) const;
    // Deletes the ledger, the empty folders below and the folder itself when no file is left.
    bool removeIfEmpty() const;

private:
    platform::UniqueFd openFolder() const;
    // Appends one encoded entry, stepping over a torn last line.
    void append(const Entry& entry) const;

    std::filesystem::path folder_;
    Synchronize synchronize_;
};

}  // namespace oakenmere::LibraryBundle
