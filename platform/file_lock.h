#pragma once
// Exclusive advisory locks (flock) on a lock file. The lock belongs to the open file
// description, so a second open of the same file, in this process or another, is refused; the
// lock ends when the descriptor closes, also when the process dies.
#include <filesystem>
#include <optional>

#include "platform/unique_fd.h"

namespace oakenmere::platform {

// Opens (creating it, mode 0600, never through a symbolic link) and locks `path` without
// waiting. nullopt when another holder has the lock; other failures throw.
std::optional<UniqueFd> lockFileExclusively(const std::filesystem::path& path);

// Whether someone holds the lock on an existing lock file; false when there is no such file.
// Creates nothing: the file is opened read-only and a lock taken here is released at once.
bool isLockHeld(const std::filesystem::path& path);

}  // namespace oakenmere::platform
