#include "LibraryBundle/maintenance/staging_deletion.h"

#include <algorithm>
#include <fcntl.h>
#include <mutex>
#include <unordered_map>

#include "LibraryBundle/core/package_path.h"
#include "platform/block_reader.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/sha256.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;

// SHA-256 values computed during one clean-up, keyed by the whole identity of the file hashed,
// so a file that changes afterwards is never matched by its old value.
class StagingDeletion::VerifiedChecksums {
public:
    std::optional<std::string> find(const SourceIdentity& identity) const {
        std::lock_guard lock(mutex_);
        auto found = checksums_.find(identity);
        return found == checksums_.end() ? std::nullopt : std::optional(found->second);
    }
    void add(const SourceIdentity& identity, const std::string& checksum) {
        std::lock_guard lock(mutex_);
        checksums_.insert_or_assign(identity, checksum);
        ++filesRead_;
    }
    std::int64_t filesRead() const {
        std::lock_guard lock(mutex_);
        return filesRead_;
    }

private:
    mutable std::mutex mutex_;
    std::unordered_map<SourceIdentity, std::string> checksums_;
    std::int64_t filesRead_ = 0;
};

namespace {

// The file's checksum read from the device, or nothing when it is not the file of `identity`
// any more, before or after the read.
std::optional<std::string> checksumOf(const fs::path& path, const SourceIdentity& identity, const std::stop_token& stop) {
    try {
        auto [file, status] = platform::openRegularFile(path, O_RDONLY);
        if (static_cast<std::int32_t>(status.device) != identity.device || status.inode != identity.inode) return std::nullopt;
        platform::clearNonBlocking(file);
        platform::dropCachedPages(file);
        std::string checksum = platform::sha256OfFile(file, stop);
        if (SourceIdentity::capture(path) != identity) return std::nullopt;
        return checksum;
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const std::exception&) {
        return std::nullopt;  // unreadable: not proven
    }
}

}  // namespace

StagingDeletion::StagingDeletion(const fs::path& library, bool refusingAll, Lookup lookup)
    : library_(platform::standardizedPath(library)), refusesAll_(refusingAll), lookup_(std::move(lookup)),
      verified_(std::make_shared<VerifiedChecksums>()) {}

bool StagingDeletion::isHeld(const LibraryFile& record, const std::string& sha, std::int64_t size,
                             const std::optional<SourceIdentity>& excluding, const std::stop_token& stop) const {
    if (record.isInRecentlyRemoved || (record.byteCount && *record.byteCount != size)) return false;
    fs::path path;
    if (const auto* managed = std::get_if<LibraryFile::Managed>(&record.place)) {
        auto joined = PackagePath::joined(managed->path, library_);
        if (!joined) return false;
        try {
            PackagePath::rejectSymlinks(*joined);
        } catch (const std::exception&) {
            return false;  // a link on the way proves nothing
        }
        path = *joined;
    } else if (const auto* referenced = std::get_if<LibraryFile::Referenced>(&record.place)) {
        path = referenced->path;
    } else {
        return false;
    }
    SourceIdentity identity;
    try {
        identity = SourceIdentity::capture(path);
    } catch (const std::exception&) {
        return false;  // missing or not a regular file
    }
    // The staged file itself, or a hard link to it, proves nothing.
    if (identity.size != size || (excluding && excluding->device == identity.device && excluding->inode == identity.inode)) return false;
    if (auto cached = verified_->find(identity)) return *cached == sha;
    platform::throwIfCancelled(stop);
    auto checksum = checksumOf(path, identity, stop);
    if (!checksum) return false;
    verified_->add(identity, *checksum);
    return *checksum == sha;
}

StagingDeletion::Holding StagingDeletion::holding(const std::string& sha256, std::int64_t size,
                                                  const std::optional<SourceIdentity>& excluding, const std::stop_token& stop) const {
    const std::string sha = platform::lowercasedChecksum(sha256);
    const std::vector<LibraryFile> records = lookup_(sha);
    if (records.empty()) return None{};
    for (const LibraryFile& record : records) {
        if (!isHeld(record, sha, size, excluding, stop)) continue;
        const std::vector<LibraryFile> again = lookup_(sha);
        if (std::find(again.begin(), again.end(), record) != again.end()) return Held{};
    }
    for (const LibraryFile& record : records)
        if (!record.isInRecentlyRemoved && !std::holds_alternative<LibraryFile::Elsewhere>(record.place)) return Unreachable{record.id};
    return Unreachable{};
}

bool StagingDeletion::isSafelyHeld(const fs::path& path, const SourceIdentity& identity, const std::string& sha256,
                                   const std::stop_token& stop) const noexcept {
    if (refusesAll_) return false;
    try {
        if (SourceIdentity::capture(path) != identity) return false;
        return std::holds_alternative<Held>(holding(sha256, identity.size, identity, stop));
    } catch (...) {
        return false;  // a lookup that failed, a cancellation, a file gone: not proven
    }
}

bool StagingDeletion::remove(const fs::path& path, const SourceIdentity& identity, const std::string& sha256,
                             const std::stop_token& stop) const noexcept {
    if (!isSafelyHeld(path, identity, sha256, stop)) return false;
    try {
        if (SourceIdentity::capture(path) != identity) return false;
        return platform::unlinkPath(path);
    } catch (...) {
        return false;  // changed or gone meanwhile: it stays
    }
}

bool StagingDeletion::removeEmpty(const fs::path& path) const noexcept {
    if (refusesAll_) return false;
    try {
        return SourceIdentity::capture(path).size == 0 && platform::unlinkPath(path);
    } catch (...) {
        return false;  // no identity, no deletion
    }
}

std::int64_t StagingDeletion::libraryFilesRead() const { return verified_->filesRead(); }

}  // namespace oakenmere::LibraryBundle
