#pragma once
// Relinking originals the library references outside its package after they were moved (a
// folder renamed, a drive reorganised). The user shows where one original is now;
// RelocationFolderMapping turns that one answer into a rule for every other original of the same
// old folder tree, and OriginalRelocationPlanner proves each proposed new location by its
// SHA-256 before it is offered as a match. Nothing here changes a file: the host applies the
// matches to its catalogue.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "LibraryBundle/core/host_contract.h"
#include "platform/uuid.h"

namespace oakenmere::LibraryBundle {

using RelocationOriginal = Host::RelocationOriginal;

// One proven new location: `url` was hashed and its SHA-256 (lower case) matched the catalogue's.
struct VerifiedRelocation {
    platform::Uuid id;
    std::filesystem::path url;
    std::string sha256;
    bool operator==(const VerifiedRelocation&) const = default;
};

struct RelocationPlan {
    std::vector<VerifiedRelocation> matches;  // in the order of the input
    std::int64_t mismatches = 0;              // the proposed file exists with other contents
    // The proposed file could not be hashed, or lies outside the chosen folder once symbolic
    // links are resolved.
    std::int64_t unavailable = 0;
    bool operator==(const RelocationPlan&) const = default;
};

// Maps the old folder tree onto the new one. Paths are standardized (absolute, "." and ".."
// resolved lexically); a pure value, usable from any thread.
class RelocationFolderMapping {
public:
    // `originalFile` used to be where `locatedFile` is now; `relocatedRoot` is the folder the user
    // chose, which must hold the located file and keep the subfolders below it that the original
    // had. RelocationMappingError::inconsistentFolder otherwise.
    RelocationFolderMapping(const std::filesystem::path& originalFile, const std::filesystem::path& locatedFile,
                            const std::filesystem::path& relocatedRoot);

    // Where an original of the old tree is expected in the new one; nothing for one outside
    // priorRoot.
    std::optional<std::filesystem::path> candidate(const std::filesystem::path& original) const;

    // The folder of the old tree that corresponds to relocatedRoot.
    const std::filesystem::path& priorRoot() const noexcept { return priorRoot_; }
    const std::filesystem::path& relocatedRoot() const noexcept { return relocatedRoot_; }
    const std::filesystem::path& originalFile() const noexcept { return originalFile_; }
    const std::filesystem::path& locatedFile() const noexcept { return locatedFile_; }

    bool operator==(const RelocationFolderMapping&) const = default;

private:
    std::filesystem::path priorRoot_;
    std::filesystem::path relocatedRoot_;
    std::filesystem::path originalFile_;
    std::filesystem::path locatedFile_;
};

// Proves proposed locations one file at a time, each file read at most once per plan. One plan at
// a time per instance.
class OriginalRelocationPlanner {
public:
    // Originals listed twice are planned once; those the mapping does not cover are counted
    // nowhere. Never fails for a single file; only platform::CancellationError ends a plan.
    RelocationPlan plan(const std::vector<RelocationOriginal>& originals, const RelocationFolderMapping& mapping,
                        const std::stop_token& stop = {});

private:
    std::mutex serial_;
};

}  // namespace oakenmere::LibraryBundle
