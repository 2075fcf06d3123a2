#include "LibraryBundle/maintenance/library_rename.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/core/library_file_type.h"
#include "LibraryBundle/core/library_info.h"
#include "LibraryBundle/core/package_path.h"
#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/folder_walk.h"
#include "platform/posix_error.h"
#include "platform/publish_calls.h"
#include "platform/quoted.h"

namespace oakenmere::LibraryBundle::LibraryRename {

namespace fs = std::filesystem;

namespace {

struct Library {
    platform::UniqueFd folder;
    platform::Uuid id;
};

// The folder at `package` (O_NOFOLLOW: a link to a folder is refused) and its record's identifier.
std::optional<Library> openLibrary(const fs::path& package) noexcept {
    try {
        platform::UniqueFd folder = platform::openDirectory(package);
        const auto record = platform::readNonEmptyRegularFileAt(folder, LibraryInfo::fileName, LibraryInfo::byteLimit);
        if (!record) return std::nullopt;
        return Library{std::move(folder), LibraryInfo::decode(*record).identifier};
    } catch (...) {
        // Missing, unreadable or undecodable: in each case not a library that can be renamed.
        return std::nullopt;
    }
}

bool isAccessDenied(int err) { return err == EACCES || err == EPERM; }

// The folder holding the package, for calls relative to it. O_PATH needs no read permission on
// it, only the search permission the rename needs anyway.
platform::UniqueFd openHolder(const fs::path& holder, const std::string& holderName) {
    const std::string resolved = platform::realPath(holder).value_or(holder.string());
    platform::UniqueFd folder(platform::fileSystem().openAt(AT_FDCWD, resolved.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW));
    if (folder) return folder;
    const int err = errno;
    if (isAccessDenied(err)) throw LibraryRenameError::folderAccessNeeded(holderName);
    platform::throwPosixError(err, "open " + platform::inQuotes(resolved));
}

// Holds the library against every other holder until the returned lock file's descriptor and
// the library's own go.
platform::UniqueFd lockLibrary(const Library& library, const std::string& holderName) {
    platform::UniqueFd lockFile(
        platform::fileSystem().openAt(library.folder.get(), LibraryLock::fileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!lockFile) {
        const int err = errno;
        if (isAccessDenied(err)) throw LibraryRenameError::folderAccessNeeded(holderName);
        if (err != ENOENT) platform::throwPosixError(err, "open " + platform::inQuotes(LibraryLock::fileName));
    } else if (platform::fileSystem().lock(lockFile.get(), LOCK_EX | LOCK_NB) != 0) {
        throw LibraryRenameError::libraryInUse();
    }
    // The store locks the package folder as well, and that lock holds even without a lock file.
    if (platform::fileSystem().lock(library.folder.get(), LOCK_EX | LOCK_NB) != 0) throw LibraryRenameError::libraryInUse();
    return lockFile;
}

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The package's old path as given, standardized and with links resolved: any of them may be
// what a link inside it was made with.
std::vector<std::string> oldPathsOf(const fs::path& url, const fs::path& package, const fs::path& renamed) {
    std::vector<std::string> forms;
    const auto note = [&](const std::string& form) {
        std::string path = withoutTrailingSlash(form);
        if (path != renamed.string() && std::find(forms.begin(), forms.end(), path) == forms.end()) forms.push_back(std::move(path));
    };
    note(fs::absolute(url).string());
    note(package.string());
    if (auto resolved = platform::realPath(package)) note(*resolved);
    return forms;
}

std::optional<std::string> linkDestination(const platform::UniqueFd& folder, const std::string& name) {
    std::string destination;
    if (platform::fileSystem().readLinkAt(folder.get(), name.c_str(), destination) != 0) return std::nullopt;
    return destination;
}

bool makeLink(const std::string& destination, const platform::UniqueFd& folder, const std::string& name) {
    return platform::fileSystem().makeSymbolicLinkAt(destination.c_str(), folder.get(), name.c_str()) == 0;
}

void relink(const platform::UniqueFd& package, const std::string& relative, const std::vector<std::string>& oldPaths,
            const std::string& newPath) {
    const PackagePath::EntryInside entry = PackagePath::entryInside(package, relative);
    const platform::UniqueFd& folder = entry.folder(package);
    const auto destination = linkDestination(folder, entry.name);
    if (!destination) return;
    const auto repaired = relinkedDestination(*destination, oldPaths, newPath);
    if (!repaired) return;
    const std::string temporary = ".relink-" + platform::Uuid::random().string();
    if (!makeLink(*repaired, folder, temporary)) return;
    if (platform::renameReplacing(platform::FolderRef::of(folder), temporary, platform::FolderRef::of(folder), entry.name) != 0)
        platform::unlinkAtIgnoringErrors(folder, temporary);
}

void repairLinks(const platform::UniqueFd& package, const fs::path& path, const std::vector<std::string>& oldPaths) noexcept {
    try {
        std::vector<std::string> links;
        platform::FolderWalk walk;
        walk.entry = [&](const fs::path& entry, const platform::FileStatus& status) {
            if (status.isSymlink()) links.push_back(entry.lexically_relative(path).generic_string());
        };
        // A folder that cannot be read keeps its links as they are.
        walk.unreadable = [](const fs::path&, const std::system_error&) {};
        platform::walkFolder(package, path, walk);
        for (const std::string& link : links) {
            try {
                relink(package, link, oldPaths, path.string());
            } catch (...) {
                // One link that cannot be repaired stops no other.
            }
        }
    } catch (...) {
        // The library has its new name; its links are repaired where possible, and no further.
    }
}

}  // namespace

std::optional<fs::path> target(const fs::path& url) {
    const fs::path entry = platform::entryPath(url);
    std::string extension = entry.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension != "." + std::string(LibraryFileType::legacyLibraryExtension)) return std::nullopt;
    return fs::path(entry).replace_extension(LibraryFileType::libraryExtension);
}

std::optional<platform::Uuid> libraryID(const fs::path& url) {
    auto library = openLibrary(platform::entryPath(url));
    if (!library) return std::nullopt;
    return library->id;
}

fs::path rename(const fs::path& url) {
    const auto renamed = target(url);
    if (!renamed) throw LibraryRenameError::notALegacyLibrary();
    const fs::path package = platform::standardizedPath(url), newPackage = platform::standardizedPath(*renamed);
    const auto library = openLibrary(package);
    if (!library) throw LibraryRenameError::notALibrary();

    const std::string oldName = package.filename().string(), newName = newPackage.filename().string();
    const fs::path holder = package.parent_path();
    const std::string holderName = holder.has_filename() ? holder.filename().string() : holder.string();
    const platform::UniqueFd parent = openHolder(holder, holderName);
    const auto in = platform::FolderRef::of(parent);
    platform::FileStatus status;
    if (const int err = platform::statNoFollow(in, newName, status); err == 0) throw LibraryRenameError::targetExists(newName);
    else if (isAccessDenied(err)) throw LibraryRenameError::folderAccessNeeded(holderName);
    else if (err != ENOENT) platform::throwPosixError(err, "lstat " + platform::inQuotes(newPackage.string()));

    const auto held = lockLibrary(*library, holderName);
    const std::vector<std::string> oldPaths = oldPathsOf(url, package, newPackage);

    // What has the old name now must still be the folder proven and locked above.
    const auto locked = platform::statDescriptor(library->folder);
    if (platform::statNoFollow(in, oldName, status) != 0 || !locked || locked->device != status.device || locked->inode != status.inode)
        throw LibraryRenameError::notALibrary();
    if (const int err = platform::renameNoReplace(in, oldName, in, newName); err != 0) {
        if (err == EEXIST || err == ENOTEMPTY) throw LibraryRenameError::targetExists(newName);
        if (isAccessDenied(err)) throw LibraryRenameError::folderAccessNeeded(holderName);
        platform::throwPosixError(err, "rename " + platform::inQuotes(package.string()));
    }
    // The new name survives a power cut; failing that, the library is still whole under the old.
    platform::syncFolder(platform::realPath(holder).value_or(holder.string()));
    repairLinks(library->folder, newPackage, oldPaths);
    return *renamed;
}

std::optional<std::string> relinkedDestination(const std::string& destination, const std::vector<std::string>& oldPaths,
                                               const std::string& newPath) {
    for (const std::string& old : oldPaths) {
        if (destination == old) return newPath;
        if (destination.size() > old.size() && destination.starts_with(old) && destination[old.size()] == '/')
            return newPath + destination.substr(old.size());
    }
    return std::nullopt;
}

}  // namespace oakenmere::LibraryBundle::LibraryRename
