#include "LibraryBundle/maintenance/original_relocation.h"

#include <algorithm>
#include <map>
#include <set>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "LibraryBundle/core/errors.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/sha256.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;

namespace {

using Components = std::vector<std::string>;

// "/a/b" is "/", "a", "b", as the root counts as a component of its own.
Components componentsOf(const fs::path& path) {
    Components out;
    for (const fs::path& piece : path) out.push_back(piece.string());
    return out;
}

fs::path joined(Components::const_iterator begin, Components::const_iterator end) {
    fs::path out;
    for (auto it = begin; it != end; ++it) out /= *it;
    return out;
}

bool isProperPrefix(const Components& prefix, const Components& of) {
    return prefix.size() < of.size() && std::equal(prefix.begin(), prefix.end(), of.begin());
}

// Where the path leads once symbolic links are followed; as it is when that cannot be told (it
// does not exist), which then fails to hash anyway.
Components resolvedComponents(const fs::path& path) { return componentsOf(platform::realPath(path).value_or(path.string())); }

}  // namespace

RelocationFolderMapping::RelocationFolderMapping(const fs::path& originalFile, const fs::path& locatedFile, const fs::path& relocatedRoot)
    : relocatedRoot_(platform::standardizedPath(relocatedRoot)), originalFile_(platform::standardizedPath(originalFile)),
      locatedFile_(platform::standardizedPath(locatedFile)) {
    const Components root = componentsOf(relocatedRoot_), located = componentsOf(locatedFile_);
    if (!isProperPrefix(root, located)) throw RelocationMappingError::inconsistentFolder();
    // The subfolders between the chosen folder and the located file must also lead to the original.
    const Components subfolders(located.begin() + static_cast<std::ptrdiff_t>(root.size()), located.end() - 1);
    const Components original = componentsOf(originalFile_);
    const Components folder(original.begin(), original.end() - 1);
    if (folder.size() <= subfolders.size() || !std::equal(subfolders.rbegin(), subfolders.rend(), folder.rbegin()))
        throw RelocationMappingError::inconsistentFolder();
    priorRoot_ = joined(folder.begin(), folder.end() - static_cast<std::ptrdiff_t>(subfolders.size()));
}

std::optional<fs::path> RelocationFolderMapping::candidate(const fs::path& original) const {
    const fs::path path = platform::standardizedPath(original);
    const Components prior = componentsOf(priorRoot_), pieces = componentsOf(path);
    if (!isProperPrefix(prior, pieces)) return std::nullopt;
    if (path == originalFile_) return locatedFile_;
    return relocatedRoot_ / joined(pieces.begin() + static_cast<std::ptrdiff_t>(prior.size()), pieces.end());
}

RelocationPlan OriginalRelocationPlanner::plan(const std::vector<RelocationOriginal>& originals, const RelocationFolderMapping& mapping,
                                               const std::stop_token& stop) {
    std::lock_guard serial(serial_);
    VerifiedFileCopy hasher;
    std::set<platform::Uuid> seen;
    std::map<fs::path, std::string> checksums;
    RelocationPlan plan;
    const Components root = resolvedComponents(mapping.relocatedRoot());
    for (const RelocationOriginal& original : originals) {
        platform::throwIfCancelled(stop);
        if (!seen.insert(original.id).second) continue;
        const auto candidate = mapping.candidate(original.sourceURL);
        if (!candidate) continue;
        // A link may lead out of the chosen folder, to a file the user never pointed at.
        if (!isProperPrefix(root, resolvedComponents(*candidate))) {
            ++plan.unavailable;
            continue;
        }
        auto known = checksums.find(*candidate);
        if (known == checksums.end()) {
            try {
                known = checksums.emplace(*candidate, hasher.hash(*candidate, stop)).first;
            } catch (const platform::CancellationError&) {
                throw;
            } catch (...) {
                // Whatever stops the file being read (gone, unreadable, changing) leaves it unproven.
                ++plan.unavailable;
                continue;
            }
        }
        if (known->second == platform::lowercasedChecksum(original.sha256))
            plan.matches.push_back({original.id, *candidate, known->second});
        else ++plan.mismatches;
    }
    return plan;
}

}  // namespace oakenmere::LibraryBundle
