#pragma once
// Visiting everything below a folder through descriptors, never following a symbolic link: a
// link is reported as itself and never entered, and a folder swapped for a link while the walk
// runs fails to open rather than leading elsewhere. The order within a folder is the kernel's.
#include <filesystem>
#include <functional>
#include <string>

#include "platform/file_io.h"
#include "platform/unique_fd.h"

namespace oakenmere::platform {

struct FolderWalk {
    // Each entry below the folder, before a folder's own contents; `path` is the walked path
    // joined with the entry's relative path.
    std::function<void(const std::filesystem::path& path, const FileStatus& status)> entry;
    // Each folder below the walked one after its contents, with the open folder that holds it.
    std::function<void(const UniqueFd& parent, const std::string& name)> leaving;
    // Whether to go into a folder below the walked one (every one, when unset).
    std::function<bool(const std::filesystem::path& path)> enter;
    // A folder below the walked one that cannot be opened or listed is told here and passed
    // over; when unset, the failure is thrown.
    std::function<void(const std::filesystem::path& path, const std::system_error& error)> unreadable;
};

// Walks the open `folder`, whose path is `path`. An entry that vanishes between the listing and
// its lstat is passed over. Other listing, lstat and open failures throw std::system_error (of
// folders below, unless `unreadable` takes them), and an exception from a callback passes on.
void walkFolder(const UniqueFd& folder, const std::filesystem::path& path, const FolderWalk& walk);

}  // namespace oakenmere::platform
