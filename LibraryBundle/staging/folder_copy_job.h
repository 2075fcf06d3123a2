#pragma once
// A folder import that copies files into a destination folder, written into the library package
// before any byte is copied, so that it survives a crash or a quit and can be resumed: the job
// record (FolderCopyJob, one Copy per file) and the area that holds one folder per job,
// "<package>/Staging/FolderCopies/<UUID>/job.json".
//
// job.json is one compact JSON object with sorted keys, byte strings in padded Base64. It is
// replaced whole: written under a temporary name, flushed, renamed over job.json and the folder
// flushed, so a reader (or a power cut) sees the old record or the new one; a failure removes
// the temporary file. The operations are stateless and may be called from any thread.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/uuid.h"

namespace oakenmere::LibraryBundle {

struct FolderCopyJob {
    struct Copy {
        std::string source;        // also the key of the job's ledger entries
        std::string relativePath;  // of the copy, inside `destination`
        std::int64_t byteCount = 0;
        bool operator==(const Copy&) const = default;
    };

    platform::Uuid id;
    std::string destination;
    std::optional<platform::Bytes> destinationBookmark;  // carried for the application, never read
    std::vector<platform::Bytes> sourceBookmarks;
    std::optional<platform::Bytes> importOptions;
    std::vector<Copy> copies;  // in the order they are to be copied
    std::optional<std::string> movingDownloadsFrom;

    bool operator==(const FolderCopyJob&) const = default;

    // The sum of the copies' sizes; an overflow throws std::overflow_error.
    std::int64_t totalBytes() const;
    FolderCopyJob with(std::optional<platform::Bytes> importOptions) const;
    // The same job moving its sources out of the camera download folder `folder` (standardised).
    FolderCopyJob moving(const std::filesystem::path& downloadsFrom) const;
    // A new job (new id) of the copies whose source is in `failed`, in the job's order.
    FolderCopyJob retrying(const std::set<std::string>& failed) const;

    std::string encodeJSON() const;
    // Throws platform::DecodingError for anything but a whole job record.
    static FolderCopyJob decodeJSON(platform::ByteView bytes);
};

namespace FolderCopyArea {

inline constexpr std::string_view relativePath = "Staging/FolderCopies";
// About a million copies; a larger job is refused when saved.
inline constexpr std::int64_t jobByteLimit = std::int64_t{256} << 20;

// The job folders in `package`'s area whose names are UUIDs (either case, as on disk), sorted by
// name; empty when the area cannot be listed.
std::vector<std::filesystem::path> jobs(const std::filesystem::path& package);
// Writes the job's job.json durably, making the area and the job's folder as needed; returns the
// job's folder. POSIX errors pass on; a job over jobByteLimit is BoundedFileReadError::tooLarge
// and a path that is not valid UTF-8 std::invalid_argument, both before anything is written.
std::filesystem::path save(const FolderCopyJob& job, const std::filesystem::path& package);
// The job in `folder`; a missing, unreadable (BoundedFileReadError, POSIX) or undecodable
// (DecodingError) job.json throws.
FolderCopyJob load(const std::filesystem::path& folder);
// As load, but a failure is logged and gives nothing; the folder stays.
std::optional<FolderCopyJob> loadForRecovery(const std::filesystem::path& folder);
// Deletes the job, then its folder and all it holds; failures are ignored (it is listed again later).
void remove(const std::filesystem::path& folder) noexcept;
// Removes what a finish that could not remove everything left: job folders without a job.
void removeFinishedRemains(const std::filesystem::path& package) noexcept;
// Ends a run: with failed sources the job is saved again as a new job of just those (whose
// folder is returned) before the old folder goes; a failure to load or save keeps it.
std::optional<std::filesystem::path> finish(const std::filesystem::path& folder, const std::set<std::string>& failed,
                                            const std::filesystem::path& package);

}  // namespace FolderCopyArea

}  // namespace oakenmere::LibraryBundle
