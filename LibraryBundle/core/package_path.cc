#include "LibraryBundle/core/package_path.h"

#include <array>
#include <fcntl.h>
#include <vector>

#include "LibraryBundle/core/errors.h"
#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"
#include "platform/safe_open.h"
#include "platform/uuid.h"

namespace oakenmere::LibraryBundle::PackagePath {

namespace {

bool isUnsafePiece(std::string_view piece) { return piece.empty() || piece == "." || piece == ".."; }

bool isSafeRelative(std::string_view relative) { return platform::isPlainRelativePath(relative); }

bool isUuid(std::string_view text) { return platform::Uuid::parse(text).has_value(); }

}  // namespace

std::vector<std::string_view> pieces(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (true) {
        std::size_t slash = text.find('/', start);
        if (slash == std::string_view::npos) {
            out.push_back(text.substr(start));
            return out;
        }
        out.push_back(text.substr(start, slash - start));
        start = slash + 1;
    }
}

std::optional<std::filesystem::path> joined(std::string_view relative, const std::filesystem::path& inside) {
    if (!isSafeRelative(relative)) return std::nullopt;
    return inside / std::filesystem::path(std::string(relative));
}

std::filesystem::path resolve(std::string_view relative, const std::filesystem::path& inside) {
    auto path = joined(relative, inside);
    if (!path) throw VerifiedCopyError::unsafePath(std::string(relative));
    rejectSymlinks(*path);
    return *path;
}

void rejectSymlinks(const std::filesystem::path& path) {
    std::filesystem::path standardized = std::filesystem::absolute(path).lexically_normal();
    std::filesystem::path sofar = "/";
    for (const auto& component : standardized.relative_path()) {
        if (component.empty()) continue;  // a trailing separator
        sofar /= component;
        auto status = platform::lstatPath(sofar);
        if (!status) continue;  // not there yet: the rest may be made later
        // The two system links a temporary folder may sit behind are allowed.
        if ((sofar == "/var" || sofar == "/tmp") && platform::realPath(sofar) == "/private" + sofar.string()) continue;
        if (status->isSymlink()) throw VerifiedCopyError::unsafePath(sofar.string());
    }
}

platform::UniqueFd openInside(const platform::UniqueFd& root, std::string_view relative, int flags, mode_t mode) {
    if (!isSafeRelative(relative)) throw VerifiedCopyError::unsafePath(std::string(relative));
    return platform::openBeneath(root, std::string(relative), flags, mode);
}

platform::UniqueFd openFolder(const std::filesystem::path& folder) {
    rejectSymlinks(folder);  // names the link it finds
    platform::UniqueFd root = platform::openDirectory("/");
    if (folder.relative_path().empty()) return root;
    try {
        return platform::openBeneath(root, folder.relative_path().string(), O_RDONLY | O_DIRECTORY);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ELOOP)) throw VerifiedCopyError::unsafePath(folder.string());
        // The call named the path relative to "/"; the user knows it whole.
        throw platform::posixError(error.code().value(), "open " + platform::inQuotes(folder.string()));
    }
}

EntryInside entryInside(const platform::UniqueFd& root, std::string_view relative) {
    if (!isSafeRelative(relative)) throw VerifiedCopyError::unsafePath(std::string(relative));
    const std::size_t slash = relative.rfind('/');
    if (slash == std::string_view::npos) return {platform::UniqueFd(), std::string(relative)};
    return {openInside(root, relative.substr(0, slash), O_RDONLY | O_DIRECTORY), std::string(relative.substr(slash + 1))};
}

bool isImportStatePath(std::string_view relative) {
    auto parts = pieces(relative);
    if (parts.size() != 2 || parts[0] != "Imports") return false;
    std::string_view name = parts[1];
    if (name == "protected-captures.txt") return true;
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kForms{
        {{"lightroom-", ".done"}, {"lightroom-", ".json"}, {"aperture-", ".done"}, {"aperture-", ".json"}}};
    for (const auto& [prefix, suffix] : kForms) {
        if (name.size() > prefix.size() + suffix.size() && name.starts_with(prefix) && name.ends_with(suffix) &&
            isUuid(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size())))
            return true;
    }
    return false;
}

bool isJobWorkingLink(std::string_view relative) {
    auto parts = pieces(relative);
    if (parts.size() < 4 || parts[0] != "Jobs" || !isUuid(parts[1]) || parts[2] != "Working") return false;
    for (auto piece : parts)
        if (isUnsafePiece(piece)) return false;
    return true;
}

}  // namespace oakenmere::LibraryBundle::PackagePath
