#pragma once
// Where files downloaded from a camera wait before an import copies or moves them into the
// library: one folder per download, named by an upper-case UUID, either inside the package
// ("Staging/CameraDownloads/<UUID>") or beside an import destination outside it
// (".oakenmere-camera-downloads/<UUID>"). A file still being downloaded carries the
// ".downloading-" prefix until it has landed under its own name. Stateless; any thread.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oakenmere::LibraryBundle {

// Picks the newFolder that makes a download folder next to an import destination.
inline constexpr struct BesideCopiesIn {
} besideCopiesIn{};

namespace CameraDownloadArea {

inline constexpr std::string_view relativePath = "Staging/CameraDownloads";
inline constexpr std::string_view besideDestinationName = ".oakenmere-camera-downloads";
inline constexpr std::string_view partialPrefix = ".downloading-";

// The regular files of a download folder (standardised full paths, each list sorted), split by
// whether the name says the download is still running. Links and the ledger are left out.
struct Survey {
    std::vector<std::string> complete;
    std::vector<std::string> partial;
    bool operator==(const Survey&) const = default;
};

std::string partialName(std::string_view fileName);
bool isPartial(const std::filesystem::path& path);

// A new, empty download folder in `package`'s area, made with any missing folders above it.
// A symbolic link on the way is VerifiedCopyError::unsafePath; other failures are POSIX errors.
std::filesystem::path newFolder(const std::filesystem::path& package);
// A new, empty download folder in `<folder>/.oakenmere-camera-downloads`.
std::filesystem::path newFolder(BesideCopiesIn, const std::filesystem::path& folder);
// Removes `<folder>/.oakenmere-camera-downloads` when it is empty; does nothing otherwise.
void removeEmptyHolder(const std::filesystem::path& folder) noexcept;

// The download folder of `package` that holds `file` (at any depth), or nothing when the file is
// not inside a UUID-named folder of the area. Works on the path text alone.
std::optional<std::filesystem::path> folder(const std::filesystem::path& containing, const std::filesystem::path& package);
// The download folders of `package`, sorted by name; empty when the area cannot be listed.
std::vector<std::filesystem::path> folders(const std::filesystem::path& package);

// What `folder` holds, found without following any link. A link on the folder's path is
// unsafePath; a folder that cannot be walked is a POSIX error.
Survey survey(const std::filesystem::path& folder);

}  // namespace CameraDownloadArea
}  // namespace oakenmere::LibraryBundle
