#include "LibraryBundle/copying/verified_file_copy.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/package_path.h"
#include "platform/block_reader.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/interrupt.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"
#include "platform/safe_open.h"
#include "platform/sha256.h"
#include "platform/uuid.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;

namespace {

// Writeback is started every so many bytes, so the device works while the rest is copied and
// the final flush has little left to do.
constexpr std::int64_t kWritebackStride = 8 << 20;

constexpr std::uint8_t kZero[1] = {0};

// Most blocks differ from zero in their first byte, so the comparison costs nothing for them.
bool isAllZeros(platform::ByteView block) {
    return block.empty() || (block[0] == 0 && std::memcmp(block.data(), block.data() + 1, block.size() - 1) == 0);
}

std::string uniqueName(std::string_view prefix) { return std::string(prefix) + platform::Uuid::random().string(); }

// The entry `name` in the folder, not followed; nullopt when there is none.
std::optional<platform::FileStatus> entryIn(const platform::UniqueFd& folder, const std::string& name, const fs::path& path) {
    auto status = platform::statAtFolder(folder.get(), name);
    if (!status && errno != ENOENT) platform::throwLastPosixError("lstat " + platform::inQuotes(path.string()));
    return status;
}

enum class Flush { first, alreadyDone };

// `path` is the file's name in messages.
std::string checksumFromDevice(const platform::UniqueFd& folder, const std::string& name, const fs::path& path, Flush flush,
                               const std::stop_token& stop) {
    platform::UniqueFd file = platform::openAt(folder, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    auto before = platform::statDescriptor(file);
    if (!before || !before->isRegular()) throw VerifiedCopyError::unsafePath(path.string());
    platform::clearNonBlocking(file);
    // Only clean cached pages can be dropped, so that what is read next comes from the device.
    if (flush == Flush::first) platform::syncDescriptor(file, "fsync " + platform::inQuotes(path.string()));
    platform::dropCachedPages(file);
    platform::adviseSequential(file);
    std::string checksum = platform::sha256OfFile(file, stop);
    platform::dropCachedPages(file);
    auto after = platform::statAtFolder(folder.get(), name);
    if (!after || !after->isRegular() || after->device != before->device || after->inode != before->inode || after->size != before->size)
        throw VerifiedCopyError::destinationConflict();
    return checksum;
}

}  // namespace

// A file found at the destination may have been written a moment ago: it is flushed first.
std::string readBackChecksum(const fs::path& path, const std::stop_token& stop) {
    const fs::path entry = platform::entryPath(path);
    const fs::path folder = entry.has_parent_path() ? entry.parent_path() : fs::path(".");
    return checksumFromDevice(platform::openDirectory(folder), entry.filename().string(), entry, Flush::first, stop);
}

// The source of the copy in progress, for the read-back hook, which may run on another thread.
struct VerifiedFileCopy::SourceSlot {
    std::mutex mutex;
    std::optional<fs::path> value;

    void set(std::optional<fs::path> path) {
        std::lock_guard lock(mutex);
        value = std::move(path);
    }
    std::optional<fs::path> get() {
        std::lock_guard lock(mutex);
        return value;
    }
};

VerifiedFileCopy::VerifiedFileCopy() = default;

VerifiedFileCopy::VerifiedFileCopy(ExclusivePublisher publisher) : publisher_(std::move(publisher)) {}

VerifiedFileCopy::VerifiedFileCopy(std::function<void(const fs::path&)> afterReadBack) : currentSource_(std::make_shared<SourceSlot>()) {
    fault = [slot = currentSource_, afterReadBack = std::move(afterReadBack)](Checkpoint point) {
        if (point != Checkpoint::readBack) return;
        if (auto source = slot->get()) afterReadBack(*source);
    };
}

void VerifiedFileCopy::checkpoint(Checkpoint point) const {
    if (fault) fault(point);
}

fs::path VerifiedFileCopy::copy(const fs::path& from, const fs::path& to, std::string_view expectedSHA256, const std::stop_token& stop) {
    std::lock_guard serial(serial_);
    const fs::path source = platform::entryPath(from), destination = platform::standardizedPath(to);
    SourceIdentity initial = SourceIdentity::capture(source);
    if (platform::standardizedPath(source) == destination) throw VerifiedCopyError::destinationConflict();
    const platform::UniqueFd folder = PackagePath::openFolder(destination.parent_path());
    const std::string name = destination.filename().string();
    std::string expected = platform::lowercasedChecksum(expectedSHA256);

    auto existing = entryIn(folder, name, destination);
    if (!existing) {
        coreCopy(source, destination, folder, expected, initial, std::nullopt, stop);
        return to;
    }
    if (!existing->isRegular()) throw VerifiedCopyError::destinationConflict();
    if (checksumFromDevice(folder, name, destination, Flush::first, stop) != expected) throw VerifiedCopyError::destinationConflict();
    // The destination already holds the content; done, if the source still is that content.
    if (hashFile(source, stop) != expected) throw VerifiedCopyError::sourceMismatch();
    return to;
}

std::string VerifiedFileCopy::copyMeasuring(const fs::path& from, const fs::path& to, const std::optional<SourceIdentity>& inspected,
                                            const std::stop_token& stop) {
    std::lock_guard serial(serial_);
    const fs::path source = platform::entryPath(from), destination = platform::standardizedPath(to);
    if (inspected && SourceIdentity::capture(source) != *inspected) throw VerifiedCopyError::sourceChanged();
    SourceIdentity initial = SourceIdentity::capture(source);
    if (platform::standardizedPath(source) == destination) throw VerifiedCopyError::destinationConflict();
    const platform::UniqueFd folder = PackagePath::openFolder(destination.parent_path());
    if (entryIn(folder, destination.filename().string(), destination)) throw VerifiedCopyError::destinationConflict();
    return coreCopy(source, destination, folder, std::nullopt, initial, inspected, stop);
}

std::string VerifiedFileCopy::hash(const fs::path& of, const std::stop_token& stop) {
    std::lock_guard serial(serial_);
    return hashFile(platform::entryPath(of), stop);
}

std::string VerifiedFileCopy::hashFile(const fs::path& of, const std::stop_token& stop) {
    SourceIdentity before = SourceIdentity::capture(of);
    platform::UniqueFd file = openCaptured(of, before);
    platform::adviseSequential(file);
    std::string checksum = platform::sha256OfFile(file, stop);
    if (SourceIdentity::capture(of) != before) throw VerifiedCopyError::sourceChanged();
    return checksum;
}

std::string VerifiedFileCopy::coreCopy(const fs::path& source, const fs::path& destination, const platform::UniqueFd& folder,
                                       const std::optional<std::string>& expected, const SourceIdentity& initial,
                                       const std::optional<SourceIdentity>& inspected, const std::stop_token& stop) {
    const fs::path folderPath = destination.parent_path();
    const std::string name = destination.filename().string(), temporary = uniqueName(temporaryPrefix);
    // Failures name the destination: the hidden temporary name means nothing to the reader.
    const std::string destinationName = platform::inQuotes(destination.string());
    platform::UniqueFd out =
        platform::openAt(folder, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, "create " + destinationName);
    // A program ended while this copy is stuck (a long flush) still takes its partial file away.
    const platform::AbandonTidy tidy([&] { platform::unlinkAtIgnoringErrors(folder, temporary); });
    if (currentSource_) currentSource_->set(source);

    bool complete = false;
    bool published = false;
    std::string checksum;
    try {
        platform::UniqueFd in = openCaptured(source, initial);
        platform::adviseSequential(in);
        platform::Sha256 hasher;
        std::int64_t written = 0;
        std::int64_t writebackFrom = 0;
        std::int64_t dataEnd = 0;  // where the last block holding anything but zeros ends
        platform::readInBlocks(
            in,
            [&](platform::ByteView block) {
                // A block of zeros is left a hole: a sparse source (a disk image, a video still
                // being recorded) takes no room in the copy, and reads back as the same zeros.
                if (!isAllZeros(block)) {
                    platform::writeAllAt(out, block, written, "write " + destinationName);
                    dataEnd = written + static_cast<std::int64_t>(block.size());
                }
                checkpoint(Checkpoint::wroteBlock);
                hasher.update(block);
                written += static_cast<std::int64_t>(block.size());
                if (written - writebackFrom >= kWritebackStride) {
                    platform::startWriteback(out, writebackFrom, written - writebackFrom);
                    writebackFrom = written;
                }
                if (progress) progress(written);
            },
            stop);
        // A copy that ends in a hole still ends where the source does.
        if (dataEnd < written) platform::writeAllAt(out, platform::ByteView(kZero, 1), written - 1, "write " + destinationName);
        platform::syncDescriptor(out, "fsync " + destinationName);
        platform::closeChecked(out, "close " + destinationName);
        checkpoint(Checkpoint::wroteCopy);
        checksum = hasher.finishHex();
        complete = true;

        if (expected && *expected != checksum) throw VerifiedCopyError::hashMismatch();
        if (checksumFromDevice(folder, temporary, folderPath / temporary, Flush::alreadyDone, stop) != checksum)
            throw VerifiedCopyError::hashMismatch();
        checkpoint(Checkpoint::readBack);

        if (SourceIdentity::capture(source) != initial) throw VerifiedCopyError::sourceChanged();
        if (inspected && SourceIdentity::capture(source) != *inspected) throw VerifiedCopyError::sourceChanged();
        platform::throwIfCancelled(stop);
        checkpoint(Checkpoint::beforePublish);

        try {
            publisher_.publish(temporary, name, folder, folderPath);
        } catch (const FilePublishError& error) {
            if (error.kind() == FilePublishError::Case::destinationExists) throw VerifiedCopyError::destinationConflict();
            throw;
        }
        published = true;
        checkpoint(Checkpoint::published);
        publisher_.synchronizeFolder(name, folder, folderPath);
        platform::unlinkAtIgnoringErrors(folder, temporary);  // normally gone already
        if (currentSource_) currentSource_->set(std::nullopt);
        return checksum;
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        out.reset();
        if (currentSource_) currentSource_->set(std::nullopt);
        if (published || isUnchanged(source, initial, inspected ? &*inspected : nullptr)) {
            platform::unlinkAtIgnoringErrors(folder, temporary);
            throw;
        }
        // The source changed, vanished or can no longer be read: what was copied is kept.
        if (!complete) {
            try {
                publisher_.publish(temporary, uniqueName(incompletePrefix), folder, folderPath);
            } catch (...) {
                // Then the part copied stays under its temporary name; the source's failure is the news.
            }
            throw;
        }
        const std::string kept = uniqueName(keptPrefix);
        try {
            publisher_.publish(temporary, kept, folder, folderPath);
        } catch (...) {
            std::rethrow_exception(error);  // the copy stays under its temporary name
        }
        try {
            publisher_.synchronizeFolder(kept, folder, folderPath);
        } catch (...) {
            // The kept copy is in place either way; the user must hear where it is, not this.
        }
        throw VerifiedCopyError::keptCopy((folderPath / kept).string(), checksum);
    }
}

}  // namespace oakenmere::LibraryBundle
