#include "LibraryBundle/maintenance/archive_folder.h"

#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <vector>

#include "LibraryBundle/core/package_path.h"
#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/publish_calls.h"
#include "platform/quoted.h"
#include "platform/volume.h"
#include "platform/xdg.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTextDomain = "oakenmere";

// A "..", "." or empty piece could lead a path that starts with a folder's name out of it.
bool hasUnsafePiece(std::string_view relative) {
    for (std::string_view piece : PackagePath::pieces(relative))
        if (piece.empty() || piece == "." || piece == "..") return true;
    return false;
}

bool isInside(std::string_view candidate, std::string_view root) {
    std::string prefix(root);
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    return candidate.size() > prefix.size() && candidate.starts_with(prefix) && !hasUnsafePiece(candidate.substr(prefix.size()));
}

// Where the removable drive holding `path` is mounted, by the places drives are mounted on Linux
// (and on the Mac the library may come from); nothing for a path on this computer's own disk.
std::optional<fs::path> mountPlaceOf(std::string_view path) {
    std::vector<std::string> pieces;
    for (const auto& piece : platform::standardizedPath(fs::path(path)).relative_path()) pieces.push_back(piece.string());
    const auto at = [&](std::size_t i) { return i < pieces.size() ? pieces[i] : std::string(); };
    if ((at(0) == "Volumes" || at(0) == "mnt") && !at(1).empty()) return fs::path("/") / at(0) / at(1);
    if (at(0) == "run" && at(1) == "media" && !at(2).empty() && !at(3).empty()) return fs::path("/run/media") / at(2) / at(3);
    if (at(0) == "media" && !at(1).empty()) {
        // udisks mounts under the user's own folder; older set-ups straight under /media.
        if (at(1) != platform::userName()) return fs::path("/media") / at(1);
        if (!at(2).empty()) return fs::path("/media") / at(1) / at(2);
    }
    return std::nullopt;
}

}  // namespace

namespace ArchiveFolder {

std::optional<std::string> alternatePath(std::string_view path) {
    std::vector<std::string_view> pieces = PackagePath::pieces(path);
    for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) {
        if (*piece != name && *piece != formerName) continue;
        *piece = *piece == name ? formerName : name;
        std::string out;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0) out += '/';
            out += pieces[i];
        }
        return out;
    }
    return std::nullopt;
}

bool isFolder(const fs::path& path) noexcept {
    const auto status = platform::statAtFolder(AT_FDCWD, path.string());
    return status && status->isDirectory();
}

void moveFolder(const fs::path& from, const fs::path& to) {
    const fs::path source = platform::entryPath(from), target = platform::entryPath(to);
    const std::string context = "rename " + platform::inQuotes(source.string()) + " to " + platform::inQuotes(target.string());
    const platform::UniqueFd fromFolder = platform::openDirectory(source.parent_path());
    const platform::UniqueFd toFolder =
        source.parent_path() == target.parent_path() ? platform::UniqueFd() : platform::openDirectory(target.parent_path());
    const platform::FolderRef fromRef = platform::FolderRef::of(fromFolder),
                              toRef = platform::FolderRef::of(toFolder ? toFolder : fromFolder);
    const std::string fromName = source.filename().string(), toName = target.filename().string();
    int err = platform::renameNoReplace(fromRef, fromName, toRef, toName);
    if (platform::isUnsupportedByVolume(platform::VolumeCall::exclusiveRename, err)) {
        // A volume without exclusive rename (NFS, some FUSE drivers): a folder renamed with plain
        // rename replaces at most an empty folder, so only a file or link in either place is
        // ruled out first.
        platform::FileStatus status;
        if ((err = platform::statNoFollow(fromRef, fromName, status)) == 0 && !status.isDirectory()) err = ENOTDIR;
        if (err == 0) {
            const int taken = platform::statNoFollow(toRef, toName, status);
            err = taken == ENOENT ? 0 : taken == 0 ? EEXIST : taken;
        }
        if (err == 0) err = platform::renameReplacing(fromRef, fromName, toRef, toName);
    }
    if (err != 0) platform::throwPosixError(platform::knownErrnoOrEIO(err), context);
    // The move is done; a folder that cannot be flushed leaves it to the next start-up to find
    // the former name again and move it once more.
    (void)platform::syncFolder(toFolder ? toFolder : fromFolder);
}

Prepared prepare(const fs::path& root, const std::function<bool(const fs::path&)>& isFolderAt,
                 const std::function<void(const fs::path& from, const fs::path& to)>& move) {
    const fs::path current = root / name, former = root / formerName;
    if (!isFolderAt(current) && isFolderAt(former)) {
        move(former, current);
        return {current, former};
    }
    return {current, std::nullopt};
}

std::optional<std::string> copyPath(std::string_view path, std::string_view root, const std::function<bool(const std::string&)>& isThere) {
    std::vector<std::string> candidates{std::string(path)};
    if (auto alternate = alternatePath(path)) candidates.push_back(std::move(*alternate));
    for (const std::string& candidate : candidates)
        if (isInside(candidate, root) && isThere(candidate)) return candidate;
    return std::nullopt;
}

}  // namespace ArchiveFolder

namespace ArchiveFallback {

Offline::Offline(std::string drive) : drive_(std::move(drive)), message_(offlineNote(drive_)) {}

Resolved resolve(const Locate& original, const std::optional<std::string>& archivePath, const Locate& archive, const IsThere& isThere) {
    if (!archivePath) return {original(), false};
    try {
        if (fs::path url = original(); isThere(url)) return {url, false};
    } catch (const std::exception&) {
        // Not there, as far as reading it goes: the archived copy is next.
    }
    try {
        if (fs::path url = archive(); isThere(url)) return {url, true};
    } catch (const std::exception&) {
        // The archive's own answer failed; the other folder name may still hold the copy.
    }
    if (auto alternate = ArchiveFolder::alternatePath(*archivePath); alternate && isThere(*alternate)) return {*alternate, true};
    throw Offline(driveName(*archivePath));
}

std::optional<fs::path> locateCopy(std::string_view archivePath, const Locate& archive, const IsThere& isThere) {
    try {
        if (fs::path url = archive(); isThere(url)) return url;
    } catch (const std::exception&) {
        // Looked for under the other folder name below.
    }
    if (auto alternate = ArchiveFolder::alternatePath(archivePath); alternate && isThere(*alternate)) return fs::path(*alternate);
    return std::nullopt;
}

std::string offlineNote(std::string_view drive) {
    // TRANSLATORS: put before a drive's name: "Archived · Photo Disk not connected".
    std::string note = ::dgettext(kTextDomain, "Archived · ");
    note += drive;
    // TRANSLATORS: put after a drive's name: "Archived · Photo Disk not connected".
    note += ::dgettext(kTextDomain, " not connected");
    return note;
}

std::string driveName(std::string_view path) {
    if (auto place = mountPlaceOf(path)) return place->filename().string();
    // TRANSLATORS: the computer's own disk, in "Archived · this Mac not connected".
    return ::dgettext(kTextDomain, "this Mac");
}

bool isDriveConnected(std::string_view path) {
    const auto place = mountPlaceOf(path);
    if (!place) return true;
    // A folder left where the drive was mounted is not the drive: only the mount table says.
    const auto real = platform::realPath(*place);
    if (!real) return false;
    try {
        return platform::volumeFacts(*real).mountPoint == *real;
    } catch (const std::system_error&) {
        return false;  // gone between the two questions
    }
}

bool isRegularFile(const fs::path& path) noexcept {
    struct stat status {};
    return platform::fileSystem().statAt(AT_FDCWD, path.c_str(), status, 0) == 0 && S_ISREG(status.st_mode);
}

}  // namespace ArchiveFallback

}  // namespace oakenmere::LibraryBundle
