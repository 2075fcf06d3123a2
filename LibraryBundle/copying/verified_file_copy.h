#pragma once
// Copies one file into a library so that the copy is provably identical to the source, lands
// under its final name without ever replacing anything, and loses nothing when something goes
// wrong.
//
// The data is hashed (SHA-256) while it is copied, the copy is flushed to the device and read
// back from the device (not from the page cache) and hashed again, the source is checked to be
// the same unchanged file, and only then is the copy published by ExclusivePublisher. While it
// is written, the copy is a ".brightloft-copy-<UUID>" file beside the destination. The
// destination's folder is opened once, with no symbolic link on its path, and every file of the
// copy is named relative to that descriptor, so a link swapped in meanwhile redirects nothing.
// The source is opened without waiting on a FIFO or device put in its place (NotRegularFileError).
// Failures name the destination; only a copy that cannot even be stat'ed when it is read back
// is reported as unsafePath naming its temporary file.
//
// What a failure leaves:
//   before the copy is complete     source unchanged: nothing; changed: an ".incomplete-<UUID>" file
//   complete, before publication    source unchanged: nothing; changed: a ".kept-<UUID>" file and
//                                   VerifiedCopyError::keptCopy naming it
//   after publication               the published destination stays
// A process killed at any moment leaves at most a ".brightloft-copy-" file beside the
// destination, never a partial file under the destination's name. One exception, on volumes
// with neither exclusive rename nor hard links (FAT, exFAT): a kill between claiming the name
// and replacing the empty placeholder leaves that empty placeholder under the final name.
// A system crash (power loss) leaves the same, and once copy has returned the destination is
// durable: the data is flushed before publication and the folder after it, so the name never
// survives without its data.
//
// Paths ending in "/" name the entry itself: "a/b/" is "b" in the folder "a", never followed.
//
// One operation at a time per instance; several instances may copy in parallel.
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "LibraryBundle/copying/exclusive_publisher.h"
#include "LibraryBundle/copying/source_identity.h"

namespace oakenmere::LibraryBundle {

class VerifiedFileCopy {
public:
    enum class Checkpoint { wroteBlock, wroteCopy, readBack, beforePublish, published };
    // Test hook: called at each checkpoint; an exception from it fails the copy right there.
    using Fault = std::function<void(Checkpoint)>;

    static constexpr std::string_view temporaryPrefix = ".brightloft-copy-";
    static constexpr std::string_view keptPrefix = ".kept-";
    static constexpr std::string_view incompletePrefix = ".incomplete-";

    VerifiedFileCopy();
    explicit VerifiedFileCopy(ExclusivePublisher publisher);
    // Test hook: right after the copy has been read back, `afterReadBack` is called with the
    // source of the copy in progress (tests change the source at exactly that moment).
    explicit VerifiedFileCopy(std::function<void(const std::filesystem::path&)> afterReadBack);

    Fault fault;
    // Told the running total of bytes copied, after each block (for progress bars).
    std::function<void(std::int64_t)> progress;

    // Makes sure `to` holds a verified copy of `from` whose checksum is `expectedSHA256` (either
    // case). A destination that already holds exactly that, with the source still matching, is
    // left as it is. Returns `to`.
    std::filesystem::path copy(const std::filesystem::path& from, const std::filesystem::path& to, std::string_view expectedSHA256,
                               const std::stop_token& stop = {});
    // Copies to a destination that must not exist yet and returns the checksum of what was
    // copied. `inspected` is the identity the caller saw when it chose the file.
    std::string copyMeasuring(const std::filesystem::path& from, const std::filesystem::path& to,
                              const std::optional<SourceIdentity>& inspected, const std::stop_token& stop = {});
    // The checksum of a regular file, refusing one that changes while it is read.
    std::string hash(const std::filesystem::path& of, const std::stop_token& stop = {});

    const ExclusivePublisher& publisher() const noexcept { return publisher_; }

private:
    struct SourceSlot;

    // Every file of the copy is named relative to `folder`, the destination's open folder.
    std::string coreCopy(const std::filesystem::path& source, const std::filesystem::path& destination, const platform::UniqueFd& folder,
                         const std::optional<std::string>& expected, const SourceIdentity& initial,
                         const std::optional<SourceIdentity>& inspected, const std::stop_token& stop);
    std::string hashFile(const std::filesystem::path& of, const std::stop_token& stop);
    void checkpoint(Checkpoint point) const;

    std::mutex serial_;
    ExclusivePublisher publisher_;
    std::shared_ptr<SourceSlot> currentSource_;
};

// The checksum of the file at `path` read from the device, not from cached pages. Fails with
// unsafePath when it is not a regular file and destinationConflict when another file takes its
// name while it is read.
std::string readBackChecksum(const std::filesystem::path& path, const std::stop_token& stop = {});

}  // namespace oakenmere::LibraryBundle
