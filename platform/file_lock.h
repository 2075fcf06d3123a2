#pragma once
// Exclusive advisory locks (flock) on a lock file or a folder. The lock belongs to the open file
// description, so a second open of the same file, in this process or another, is refused; the
// lock ends when the descriptor closes, also when the process dies.
#include <filesystem>
#include <optional>

#include "platform/file_io.h"

namespace oakenmere::platform {

// Opens (creating it, mode 0600) and locks the file at `path` without waiting. The entry is
// never followed if it is a symbolic link, never made the controlling terminal and never waited
// on; anything but a regular file throws NotRegularFileError. A file unlinked or replaced while
// it was being locked is not the lock any more, so the one now under the name is tried instead.
// nullopt when another holder has the lock, or the name keeps changing; other failures throw.
std::optional<UniqueFd> lockFileExclusively(const std::filesystem::path& path);

// Locks the folder at `path` itself (not followed if it is a link), which no unlinking of a file
// inside it can undo. nullopt when another holder has it; other failures throw.
std::optional<UniqueFd> lockFolderExclusively(const std::filesystem::path& path);

// Whether some open file holds an flock on the entry at `path` (not followed), read from the
// kernel's lock table: looking takes no lock, so it never turns a locker away. false when there
// is no such entry; creates nothing.
bool isLockHeld(const std::filesystem::path& path);

}  // namespace oakenmere::platform
