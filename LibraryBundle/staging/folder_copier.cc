#include "LibraryBundle/staging/folder_copier.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <optional>
#include <set>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/staging/camera_download_ledger.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/logger.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;
using Entry = FolderCopyLedger::Entry;
using CameraEntry = CameraDownloadLedger::Entry;

namespace {

// Past this many taken names something is wrong with the folder; the file fails rather than loop.
constexpr std::int64_t kMostAlternativeNames = 10'000;

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const platform::CancellationError&) {
        return true;
    } catch (...) {
        return false;
    }
}

bool isDestinationConflict(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const VerifiedCopyError& e) {
        return e.kind() == VerifiedCopyError::Case::destinationConflict;
    } catch (...) {
        return false;
    }
}

// What one file's copy gave.
struct Copied {
    fs::path destination;
    std::string sha256;
    std::int64_t size = 0;
    bool owned = false;
    bool download = false;  // a camera download moved in, which its download record still finds
};

}  // namespace

std::vector<std::string> FolderCopyOutcome::failureReasons() const {
    std::vector<std::pair<std::string, std::int64_t>> counted;
    for (const Failure& failure : failures) {
        auto known = std::find_if(counted.begin(), counted.end(), [&](const auto& c) { return c.first == failure.reason; });
        if (known == counted.end()) counted.emplace_back(failure.reason, 1);
        else ++known->second;
    }
    std::vector<std::string> reasons;
    for (const auto& [reason, count] : counted) reasons.push_back(count < 2 ? reason : reason + " (" + std::to_string(count) + " files)");
    return reasons;
}

std::string FolderCopier::reason(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        const std::string description = e.what();
        try {
            std::rethrow_if_nested(e);
        } catch (const std::exception& underlying) {
            const std::string detail = underlying.what();
            if (description.find(detail) == std::string::npos) return description + " (" + detail + ")";
        } catch (...) {}
        return description;
    } catch (...) {
        return "An unknown error occurred.";
    }
}

std::string FolderCopier::suffixed(std::string_view name, std::int64_t n) {
    if (n < 1) return std::string(name);
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos || dot == 0) return std::string(name) + "-" + std::to_string(n);
    return std::string(name.substr(0, dot)) + "-" + std::to_string(n) + std::string(name.substr(dot));
}

// One run's working state: the ledgers as read at its start, and what it has done so far.
class FolderCopier::Run {
public:
    Run(const FolderCopier& copier, const std::stop_token& stop)
        : job_(copier.job_), copier_(copier.copier_), ledger_(copier.folder_), destination_(platform::standardizedPath(job_.destination)),
          stop_(stop) {}

    FolderCopyOutcome operator()(const Host::IsHeld& isHeld, const Host::Progress& progress) {
        entries_ = ledger_.entries();
        for (const auto& [source, entry] : entries_) recorded_.insert(entry.destination);
        if (job_.movingDownloadsFrom) cameraEntries_ = CameraDownloadLedger(*job_.movingDownloadsFrom).entries();
        removeHalfCopies();
        for (const FolderCopyJob::Copy& copy : job_.copies) {
            platform::throwIfCancelled(stop_);
            if (auto known = entries_.find(copy.source); known != entries_.end() && settled(copy, known->second)) continue;
            std::exception_ptr failure;
            try {
                copyAndRecord(copy, isHeld);
            } catch (...) {
                failure = std::current_exception();
            }
            if (failure) {
                if (isCancellation(failure)) std::rethrow_exception(failure);
                outcome_.failures.push_back({copy.source, reason(failure)});
            }
            total_ += copy.byteCount;
            if (progress) progress(total_);
        }
        return std::move(outcome_);
    }

private:
    // A source the ledger records as finished: taken as it stands unless its copy has changed
    // since (then it is copied again).
    bool settled(const FolderCopyJob::Copy& copy, const Entry& entry) {
        if (!entry.duplicate && !entry.matches(entry.destination)) return false;
        if (entry.duplicate) removeOwnCopy(entry);
        (entry.duplicate ? outcome_.duplicates : outcome_.copied).push_back(entry);
        seen_.insert(entry.sha256);
        total_ += copy.byteCount;
        return true;
    }

    void copyAndRecord(const FolderCopyJob::Copy& copy, const Host::IsHeld& isHeld) {
        const Copied made = copyOne(copy);
        const SourceIdentity identity = SourceIdentity::capture(made.destination);
        try {
            record(copy, made, identity, isHeld);
        } catch (...) {
            // A copy no ledger names would stay in the library unknown to it (a retry is another
            // job, which cannot tell it from a stranger's file): it goes, and is made again. A
            // moved download is the only one there is: it stays for the retry to find.
            if (!isCancellation(std::current_exception()) && !made.download)
                removeOwnCopy(Entry{identity, copy.source, made.destination.string(), made.sha256, false, made.owned});
            throw;
        }
    }

    void record(const FolderCopyJob::Copy& copy, const Copied& made, const SourceIdentity& identity, const Host::IsHeld& isHeld) {
        bool held = false;
        try {
            held = isHeld(made.sha256);
        } catch (...) {
            const std::exception_ptr failure = std::current_exception();
            if (isCancellation(failure)) throw;
            platform::Logger(Host::logSubsystem, "folder-copy")
                .error("Held check failed for " + made.destination.string() + ": " + reason(failure));
            ++outcome_.unheldChecks;
        }
        const bool duplicate = held || seen_.contains(made.sha256);
        const Entry entry{identity, copy.source, made.destination.string(), made.sha256, duplicate, made.owned};
        ledger_.append(entry);
        recorded_.insert(entry.destination);
        if (!duplicate) seen_.insert(made.sha256);
        if (duplicate) removeOwnCopy(entry);
        (duplicate ? outcome_.duplicates : outcome_.copied).push_back(entry);
    }

    // Deletes a duplicate's copy when this job made it and it is still the file recorded; only
    // inside the destination, never through a link. Failures leave it.
    void removeOwnCopy(const Entry& entry) const noexcept {
        if (!entry.owned) return;
        try {
            const std::string prefix = destination_.string() + "/";
            if (!entry.destination.starts_with(prefix)) return;
            const platform::UniqueFd root = PackagePath::openFolder(destination_);
            const PackagePath::EntryInside file = PackagePath::entryInside(root, entry.destination.substr(prefix.size()));
            auto status = platform::statAtFolder(file.folder(root).get(), file.name);
            if (status && status->isRegular() && SourceIdentity::of(*status) == entry.identity())
                platform::unlinkAtIgnoringErrors(file.folder(root), file.name);
        } catch (...) {
            // Not inside the destination, or not reachable: it stays.
        }
    }

    // Regular files named like the verified copy's temporary files, in every folder this job
    // copies into: what a killed run left half written.
    void removeHalfCopies() const noexcept {
        std::set<std::string> parents;
        for (const FolderCopyJob::Copy& copy : job_.copies) {
            if (!PackagePath::joined(copy.relativePath, destination_)) continue;
            const std::size_t slash = copy.relativePath.rfind('/');
            parents.insert(slash == std::string::npos ? std::string() : copy.relativePath.substr(0, slash));
        }
        platform::UniqueFd root;
        try {
            root = PackagePath::openFolder(destination_);
        } catch (...) {
            return;  // no destination yet: nothing half copied into it
        }
        for (const std::string& parent : parents) {
            try {
                const platform::UniqueFd folder =
                    parent.empty() ? platform::UniqueFd() : PackagePath::openInside(root, parent, O_RDONLY | O_DIRECTORY);
                const platform::UniqueFd& in = parent.empty() ? root : folder;
                for (const std::string& name : platform::listDirectory(in, destination_ / parent)) {
                    if (!name.starts_with(halfCopyPrefix)) continue;
                    auto status = platform::statAtFolder(in.get(), name);
                    if (status && status->isRegular()) platform::unlinkAtIgnoringErrors(in, name);
                }
            } catch (...) {
                // A folder that cannot be listed is skipped.
            }
        }
    }

    Copied copyOne(const FolderCopyJob::Copy& copy) {
        auto wanted = PackagePath::joined(copy.relativePath, destination_);
        if (!wanted) throw VerifiedCopyError::unsafePath(copy.relativePath);
        const fs::path parent = wanted->parent_path();
        platform::makeFolderTree(parent, 0755);
        const CameraEntry* download = nullptr;
        if (auto landed = cameraEntries_.find(platform::standardizedPath(copy.source).string()); landed != cameraEntries_.end())
            download = &landed->second;
        std::optional<std::string> sourceSha;
        for (std::int64_t n = 0; n < kMostAlternativeNames; ++n) {
            const fs::path candidate = parent / suffixed(wanted->filename().string(), n);
            const auto there = platform::lstatPath(candidate);
            if (!there) {
                if (auto made = claimAndPlace(copy, candidate, download)) return *made;
                continue;
            }
            if (!there->isRegular()) continue;
            if (download && download->isSameFileRenamed(*there)) {
                // The download, moved here by an earlier run that was stopped before recording it.
                const std::string sha = copier_.hash(candidate, stop_);
                if (sha != download->sha256) continue;
                const auto source = platform::lstatPath(copy.source);
                if (source && source->device == there->device && source->inode == there->inode) platform::unlinkPath(copy.source);
                return {candidate, sha, download->size, true, true};
            }
            if (there->size == copy.byteCount) {
                const std::string sha = copier_.hash(candidate, stop_);
                if (!sourceSha) sourceSha = copier_.hash(copy.source, stop_);
                if (sha != *sourceSha) continue;
                // The same bytes: taken as the copy, ours when an earlier run claimed the name and
                // no entry records it yet (a recorded copy belongs to its own source, never to this one).
                const bool owned = ledger_.claimed().contains(candidate.string()) && !recorded_.contains(candidate.string());
                return {candidate, sha, there->size, owned};
            }
        }
        throw VerifiedCopyError::destinationConflict();
    }

    // Claims the free name `candidate` and moves the download or copies the source there;
    // nothing when the name was taken meanwhile (the claim is then released).
    std::optional<Copied> claimAndPlace(const FolderCopyJob::Copy& copy, const fs::path& candidate, const CameraEntry* download) {
        const bool moving = download && download->matches(copy.source) && sameDevice(copy.source, candidate.parent_path());
        ledger_.appendClaim(candidate.string(), false);
        bool published = false;
        try {
            if (moving) return move(copy.source, candidate, *download);
            std::string sha;
            try {
                sha = copier_.copyMeasuring(copy.source, candidate, std::nullopt, stop_);
            } catch (const FilePublishError& error) {
                published = error.kind() == FilePublishError::Case::refused && error.step() == ExclusivePublisher::Step::synchronizeFolder;
                throw;
            }
            published = true;
            return Copied{candidate, sha, SourceIdentity::capture(candidate).size, true};
        } catch (...) {
            const std::exception_ptr failure = std::current_exception();
            if (isDestinationConflict(failure)) {
                ledger_.appendClaim(candidate.string(), true);
                return std::nullopt;
            }
            // A copy published under the claimed name that then failed (its folder could not be
            // flushed) goes before the claim is released: a retry, another job, would take it for
            // a stranger's file and could leave it uncatalogued. Its source is still there.
            if (published) removePublishedCopy(candidate, copy.byteCount);
            // A download that is gone from its folder now lives under the claimed name: the claim stays.
            if (!moving || platform::lstatPath(copy.source)) {
                try {
                    ledger_.appendClaim(candidate.string(), true);
                } catch (...) {}
            }
            std::rethrow_exception(failure);
        }
    }

    // Unlinks the copy this run just published at `candidate` (a regular file of the copy's
    // size: the name was claimed free and the publisher never replaces); failures leave it.
    static void removePublishedCopy(const fs::path& candidate, std::int64_t byteCount) noexcept {
        try {
            const auto status = platform::lstatPath(candidate);
            if (status && status->isRegular() && status->size == byteCount) platform::unlinkIgnoringErrors(candidate);
        } catch (...) {
            // Not reachable now: it stays.
        }
    }

    Copied move(const fs::path& source, const fs::path& candidate, const CameraEntry& download) const {
        const ExclusivePublisher& publisher = copier_.publisher();
        try {
            publisher.publish(source, candidate);
        } catch (const FilePublishError& error) {
            if (error.kind() == FilePublishError::Case::destinationExists) throw VerifiedCopyError::destinationConflict();
            throw;
        }
        if (!download.matchesRenamed(candidate)) throw VerifiedCopyError::sourceChanged();
        publisher.synchronizeFolder(containing, candidate);
        publisher.synchronizeFolder(containing, source);
        return {candidate, download.sha256, download.size, true, true};
    }

    static bool sameDevice(const fs::path& file, const fs::path& folder) {
        const auto a = platform::lstatPath(file);
        const auto b = platform::lstatPath(folder);
        return a && b && a->device == b->device;
    }

    const FolderCopyJob& job_;
    VerifiedFileCopy& copier_;
    const FolderCopyLedger ledger_;
    const fs::path destination_;
    const std::stop_token& stop_;
    std::map<std::string, Entry> entries_;
    std::map<std::string, CameraEntry> cameraEntries_;
    FolderCopyOutcome outcome_;
    std::set<std::string> seen_;
    std::set<std::string> recorded_;  // destinations the ledger names
    std::int64_t total_ = 0;
};

FolderCopyOutcome FolderCopier::run(const Host::IsHeld& isHeld, const Host::Progress& progress, const std::stop_token& stop) const {
    return Run(*this, stop)(isHeld, progress);
}

}  // namespace oakenmere::LibraryBundle
