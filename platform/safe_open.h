#pragma once
// Opening a path inside a folder without ever leaving it or passing through a symbolic link,
// checked by the kernel at the moment of use, so a link swapped in after any earlier check
// cannot redirect the open.
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace oakenmere::platform {

// A relative path of one or more "/"-separated pieces, none empty, "." or "..", not starting
// with "/": one that cannot leave the folder it is joined to.
bool isPlainRelativePath(std::string_view relative) noexcept;

// Opens `relative` (pieces separated by "/", no "..", no leading "/") beneath `root` with
// `flags` (kOpenBaseFlags and O_NOFOLLOW are always added). Uses openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS where the kernel has it, and otherwise walks the pieces one openat at a
// time with O_NOFOLLOW. A symbolic link anywhere on the way fails with ELOOP (or ENOTDIR for a
// link in a folder's place on the walk); a path leaving the root fails with EXDEV.
UniqueFd openBeneath(const UniqueFd& root, const std::string& relative, int flags, mode_t mode = 0);

// For tests: forces the piece-by-piece walk even where openat2 exists.
void useOpenBeneathWalkForTesting(bool walk);

}  // namespace oakenmere::platform
