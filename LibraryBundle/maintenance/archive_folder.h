#pragma once
// Archived originals: copies kept in an archive folder of a fixed name under a root the user
// chose, typically on an external drive. The folder was renamed once with the application, so
// every rule here accepts the current name and the former one and converts paths between them.
//
// ArchiveFolder prepares the archive folder under a root (taking over one of the former name) and
// finds an archived copy by its path. ArchiveFallback decides where an original is read from: its
// own place when it is there, else its archived copy, and when neither can be reached it names
// the drive to connect. The decisions ask every file-system question through an operation the
// caller passes in; the functions that answer them from the disk are here too.
//
// Drives on Linux: a path lies on a removable drive when it is under one of the places drives are
// mounted — "/media/<user>/<name>" and "/run/media/<user>/<name>" (udisks), "/media/<name>",
// "/mnt/<name>" and "/Volumes/<name>" — and the drive is connected when that place is in the
// mount table. Any other path is on this computer's own disk.
//
// Stateless and reentrant; the caller's operations are called on the caller's thread.
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace oakenmere::LibraryBundle {

namespace ArchiveFolder {

inline constexpr std::string_view name = "Oakenmere Archive";
inline constexpr std::string_view formerName = "Brightloft Archive";

struct Prepared {
    std::filesystem::path folder;                      // root / name: the archive folder to use
    std::optional<std::filesystem::path> renamedFrom;  // the former folder moved there, if any
    bool operator==(const Prepared&) const = default;
};

// `path` with its last piece that is one of the two names swapped for the other; nothing when no
// piece is.
std::optional<std::string> alternatePath(std::string_view path);

// A folder is at `path` (a file does not count, nor a symbolic link, even to a folder).
bool isFolder(const std::filesystem::path& path) noexcept;

// Renames the folder `from` to `to`, never replacing anything at `to` (EEXIST then); neither
// path's last component is followed if it is a symbolic link. On a volume without exclusive
// rename, the name is checked to be free and a plain rename follows, which can replace at most an
// empty folder made in between. std::system_error on failure.
void moveFolder(const std::filesystem::path& from, const std::filesystem::path& to);

// The archive folder under `root`: when only the former one is there it is moved to the current
// name first (a failure of `move` is passed on). Nothing is created.
Prepared prepare(const std::filesystem::path& root, const std::function<bool(const std::filesystem::path&)>& isFolderAt = isFolder,
                 const std::function<void(const std::filesystem::path& from, const std::filesystem::path& to)>& move = moveFolder);

// Where the archived copy recorded at `path` is now: `path` itself, else its alternatePath, the
// first that lies inside `root` and for which `isThere` holds; nothing otherwise.
std::optional<std::string> copyPath(std::string_view path, std::string_view root, const std::function<bool(const std::string&)>& isThere);

}  // namespace ArchiveFolder

namespace ArchiveFallback {

// Neither the original nor its archived copy can be reached; what() is offlineNote(drive).
class Offline : public std::exception {
public:
    explicit Offline(std::string drive);
    const std::string& drive() const noexcept { return drive_; }
    const char* what() const noexcept override { return message_.c_str(); }
    friend bool operator==(const Offline& a, const Offline& b) noexcept { return a.drive_ == b.drive_; }

private:
    std::string drive_;
    std::string message_;
};

struct Resolved {
    std::filesystem::path url;
    bool fromArchive = false;
    bool operator==(const Resolved&) const = default;
};

// Gives a place, or throws when it cannot be told.
using Locate = std::function<std::filesystem::path()>;
using IsThere = std::function<bool(const std::filesystem::path&)>;

// Without an archive path: original(), whose failure is passed on. With one: the original when it
// is there, else the archived copy (from archive(), else under the other archive folder name),
// else Offline naming the archive path's drive; failures of original() and archive() then count
// as not there.
Resolved resolve(const Locate& original, const std::optional<std::string>& archivePath, const Locate& archive, const IsThere& isThere);

// The archived copy without looking at the original: archive() when it is there (its failure
// ignored), else the alternatePath of `archivePath` when that is there; nothing otherwise.
std::optional<std::filesystem::path> locateCopy(std::string_view archivePath, const Locate& archive, const IsThere& isThere);

// "Archived · <drive> not connected", localized.
std::string offlineNote(std::string_view drive);

// The name of the removable drive `path` lies on, or "this Mac" (localized) for this computer's
// own disk.
std::string driveName(std::string_view path);

// Whether the drive `path` lies on is mounted; always true for this computer's own disk.
bool isDriveConnected(std::string_view path);

// A regular file is at `path`, symbolic links followed.
bool isRegularFile(const std::filesystem::path& path) noexcept;

}  // namespace ArchiveFallback

}  // namespace oakenmere::LibraryBundle
