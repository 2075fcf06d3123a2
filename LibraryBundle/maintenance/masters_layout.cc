#include "LibraryBundle/maintenance/masters_layout.h"

#include "LibraryBundle/core/package_path.h"
#include "platform/file_io.h"

namespace oakenmere::LibraryBundle::MastersLayout {

std::string folder(const platform::Uuid& id, std::string_view in) {
    const std::string text = id.string();
    return std::string(in) + "/" + text.substr(0, 2) + "/" + text;
}

std::string legacyFolder(const platform::Uuid& id, std::string_view in) { return std::string(in) + "/" + id.string(); }

std::string relativePath(const platform::Uuid& id, std::string_view filename, std::string_view in) {
    return folder(id, in) + "/" + std::string(filename);
}

bool isFolder(std::string_view path, const platform::Uuid& id, std::string_view in) {
    return path == folder(id, in) || path == legacyFolder(id, in);
}

bool isPath(std::string_view path, const platform::Uuid& id, std::string_view filename, std::string_view in) {
    return path == relativePath(id, filename, in) || path == legacyFolder(id, in) + "/" + std::string(filename);
}

std::optional<std::string> captureFolder(std::string_view path) {
    const auto parts = PackagePath::pieces(path);
    if (parts.size() < 3 || parts[0] != root) return std::nullopt;
    for (std::string_view piece : parts)
        if (piece.empty() || piece == "." || piece == "..") return std::nullopt;
    const std::size_t depth = parts[1] == "Sidecars" || parts[1] == "Archive" ? 2 : 1;
    if (parts.size() != depth + 2 && parts.size() != depth + 3) return std::nullopt;
    const std::string_view uuid = parts[parts.size() - 2];
    if (!platform::Uuid::parse(uuid)) return std::nullopt;
    if (parts.size() == depth + 3 && parts[parts.size() - 3] != uuid.substr(0, 2)) return std::nullopt;
    return std::string(path.substr(0, path.size() - parts.back().size() - 1));
}

bool removeEmptyCaptureFolder(std::string_view path, const std::filesystem::path& library) noexcept {
    try {
        const auto capture = captureFolder(path);
        if (!capture) return false;
        const auto folder = PackagePath::joined(*capture, library);
        if (!folder) return false;
        PackagePath::rejectSymlinks(*folder);
        return platform::removeFolder(*folder);
    } catch (...) {
        return false;
    }
}

}  // namespace oakenmere::LibraryBundle::MastersLayout
