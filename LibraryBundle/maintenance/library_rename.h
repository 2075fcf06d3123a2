#pragma once
// Gives a library made under the application's earlier name (".brightloft") the current
// extension (".oakenmere") in place, in the folder that holds it.
//
// The rename is refused, with the library left exactly as it was, unless the package is provably
// an earlier library (a folder, not a link, whose "Info.plist" decodes), the new name is free, and
// nobody holds the library: its folder and its ".brightloft.lock" are locked without waiting for
// the whole operation, so an application that has it open gets libraryInUse and a store opening
// it meanwhile is turned away. Right before the move the folder under the old name is checked to
// be still the one that was proven and locked, and the move itself (renameat2 with
// RENAME_NOREPLACE) never replaces anything, also when the new name is taken at the last moment.
// A volume without exclusive rename refuses with its POSIX error rather than risk a replacing
// rename. The move is one rename: a crash leaves the library whole under one name or the other.
//
// Afterwards, absolute symbolic links inside the package that pointed at the old path are made
// to point at the new one (a new link under a ".relink-<UUID>" name renamed over the old);
// failures there are ignored, and links that point elsewhere are left alone.
//
// Synchronous, on the caller's thread; any thread.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/uuid.h"

namespace oakenmere::LibraryBundle::LibraryRename {

// The new package path for an earlier library ("…/Holiday.brightloft", any letter case, is
// "…/Holiday.oakenmere"); nothing for any other path.
std::optional<std::filesystem::path> target(const std::filesystem::path& url);

// The identifier in the identity record of the library at `url`, which must be a folder and not
// a link to one; nothing when it is not a library.
std::optional<platform::Uuid> libraryID(const std::filesystem::path& url);

// Renames the library and returns its new path (target(url)). Fails with LibraryRenameError
// (notALegacyLibrary, notALibrary, targetExists, folderAccessNeeded, libraryInUse) or a POSIX
// error, having changed nothing.
std::filesystem::path rename(const std::filesystem::path& url);

// Where a link whose destination is `destination` must point once the package at any of
// `oldPaths` lives at `newPath`: the new path followed by what came after the old one; nothing
// when it pointed at none of them.
std::optional<std::string> relinkedDestination(const std::string& destination, const std::vector<std::string>& oldPaths,
                                               const std::string& newPath);

}  // namespace oakenmere::LibraryBundle::LibraryRename
