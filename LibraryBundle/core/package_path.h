#pragma once
// Relative paths stored in records (ledgers, manifests, jobs) turned into places inside a
// package without escaping it or passing through a symbolic link. Stateless; any thread.
//
// joined() and resolve() work on path strings and check what is on disk now; openInside()
// is the form to use when the file is then opened, because the kernel checks the whole path
// at the moment of the open and a link swapped in meanwhile cannot redirect it.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace oakenmere::LibraryBundle::PackagePath {

// `text` split on "/", keeping empty pieces: "a//b" has three, "a/" two.
std::vector<std::string_view> pieces(std::string_view text);

// The root with `relative` appended, or nothing when `relative` is empty, starts with "/", or
// has an empty, "." or ".." piece. Never touches the file system.
std::optional<std::filesystem::path> joined(std::string_view relative, const std::filesystem::path& inside);

// joined() then rejectSymlinks(). Fails with VerifiedCopyError::unsafePath carrying
// `relative` unchanged when it is not a safe relative path.
std::filesystem::path resolve(std::string_view relative, const std::filesystem::path& inside);

// Walks `path` from "/" and fails with unsafePath (naming the first offending prefix) when an
// existing component is a symbolic link; components that do not exist yet are accepted. Other
// lstat failures are POSIX errors.
void rejectSymlinks(const std::filesystem::path& path);

// Opens `relative` beneath the open package folder `root` with `flags`, refusing symbolic
// links anywhere on the way (std::system_error, ELOOP or ENOTDIR) and unsafe relative paths
// (unsafePath).
platform::UniqueFd openInside(const platform::UniqueFd& root, std::string_view relative, int flags, mode_t mode = 0);

// The open folder that holds `relative` beneath `root` (reached as openInside reaches it; an
// invalid descriptor when that is `root` itself) and the entry's name in it, so the entry can be
// stat'ed or unlinked without a link on the way redirecting the call.
struct EntryInside {
    platform::UniqueFd parent;
    std::string name;
    const platform::UniqueFd& folder(const platform::UniqueFd& root) const { return parent ? parent : root; }
};
EntryInside entryInside(const platform::UniqueFd& root, std::string_view relative);

// Opens the folder at the absolute path `folder` with no symbolic link anywhere on its path
// (unsafePath names the link), checked by the kernel, so later calls made relative to it cannot
// be redirected by a link swapped in after the check. Other failures are POSIX errors.
platform::UniqueFd openFolder(const std::filesystem::path& folder);

// "Imports/protected-captures.txt", or "Imports/" + lightroom- or aperture- + UUID + .done or
// .json: the import-state files that backup treats specially.
bool isImportStatePath(std::string_view relative);
// "Jobs/<UUID>/Working/..." with at least one piece after "Working" and no empty, "." or ".."
// piece: the working links of folder-copy jobs.
bool isJobWorkingLink(std::string_view relative);

}  // namespace oakenmere::LibraryBundle::PackagePath
