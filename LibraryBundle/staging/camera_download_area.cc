#include "LibraryBundle/staging/camera_download_area.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/staging/camera_download_ledger.h"
#include "platform/file_io.h"
#include "platform/folder_walk.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"
#include "platform/uuid.h"

namespace oakenmere::LibraryBundle::CameraDownloadArea {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kFolderMode = 0755;

}  // namespace

std::string partialName(std::string_view fileName) { return std::string(partialPrefix) + std::string(fileName); }

bool isPartial(const fs::path& path) { return platform::entryPath(path).filename().string().starts_with(partialPrefix); }

fs::path newFolder(const fs::path& package) {
    const std::string relative = std::string(relativePath) + "/" + platform::Uuid::random().string();
    auto folder = PackagePath::joined(relative, package);
    if (!folder) throw VerifiedCopyError::unsafePath(relative);
    PackagePath::rejectSymlinks(*folder);
    platform::makeFolderTree(*folder, kFolderMode);
    PackagePath::rejectSymlinks(*folder);
    return *folder;
}

fs::path newFolder(BesideCopiesIn, const fs::path& folder) {
    const fs::path made = platform::standardizedPath(folder) / besideDestinationName / platform::Uuid::random().string();
    platform::makeFolderTree(made, kFolderMode);
    PackagePath::rejectSymlinks(made);
    return made;
}

void removeEmptyHolder(const fs::path& folder) noexcept {
    try {
        // rmdir removes only an empty folder, so a holder with downloads left in it stays.
        platform::removeFolderIgnoringErrors(platform::standardizedPath(folder) / besideDestinationName);
    } catch (...) {
        // No current folder to make the path absolute from: nothing is removed.
    }
}

std::optional<fs::path> folder(const fs::path& containing, const fs::path& package) {
    const std::string area = (platform::standardizedPath(package) / relativePath).string() + "/";
    const std::string file = platform::standardizedPath(containing).string();
    if (!file.starts_with(area)) return std::nullopt;
    // Standardising has removed empty, "." and ".." pieces; what is left must be <UUID>/<name>...
    const fs::path rest = file.substr(area.size());
    const auto first = rest.begin();
    if (first == rest.end() || std::next(first) == rest.end() || !platform::Uuid::parse(first->string())) return std::nullopt;
    return fs::path(area) / *first;
}

std::vector<fs::path> folders(const fs::path& package) {
    auto area = PackagePath::joined(relativePath, package);
    if (!area) return {};
    std::vector<std::string> names;
    try {
        PackagePath::rejectSymlinks(*area);
        names = platform::listDirectory(*area);
    } catch (...) {
        return {};  // an area that cannot be looked at has no downloads to offer
    }
    std::erase_if(names, [](const std::string& name) { return !platform::Uuid::parse(name); });
    std::sort(names.begin(), names.end());
    std::vector<fs::path> result;
    for (const std::string& name : names) result.push_back(*area / name);
    return result;
}

Survey survey(const fs::path& folder) {
    const fs::path root = platform::standardizedPath(folder);
    PackagePath::rejectSymlinks(root);
    platform::UniqueFd opened;
    try {
        opened = platform::openDirectory(root);
    } catch (const std::system_error&) {
        // A folder that cannot be opened cannot be read, whatever the reason.
        platform::throwPosixError(EIO, "survey " + platform::inQuotes(root.string()));
    }
    const fs::path ledger = root / CameraDownloadLedger::fileName;
    Survey survey;
    platform::walkFolder(opened, root, {.entry = [&](const fs::path& path, const platform::FileStatus& status) {
                             if (!status.isRegular() || path == ledger) return;
                             (isPartial(path) ? survey.partial : survey.complete).push_back(path.string());
                         }});
    std::sort(survey.complete.begin(), survey.complete.end());
    std::sort(survey.partial.begin(), survey.partial.end());
    return survey;
}

}  // namespace oakenmere::LibraryBundle::CameraDownloadArea
