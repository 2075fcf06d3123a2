#include "LibraryBundle/core/library_file_type.h"

#include <algorithm>
#include <vector>

#include "platform/text.h"

namespace oakenmere::LibraryBundle::LibraryFileType {

using platform::graphemeClusters;
using platform::graphemeClustersKeepingBytes;
using platform::lowercased;

const std::set<std::string, std::less<>>& libraryExtensions() {
    static const std::set<std::string, std::less<>> set{std::string(libraryExtension), std::string(legacyLibraryExtension)};
    return set;
}

const std::set<std::string, std::less<>>& presetExtensions() {
    static const std::set<std::string, std::less<>> set{std::string(presetExtension), std::string(legacyPresetExtension)};
    return set;
}

const std::set<std::string, std::less<>>& archiveExtensions() {
    static const std::set<std::string, std::less<>> set{std::string(archiveExtension), std::string(legacyArchiveExtension)};
    return set;
}

std::string pathExtension(const std::filesystem::path& path) {
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    std::string_view name = text;
    if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return lowercased(name.substr(dot + 1));
}

bool isLibraryName(const std::filesystem::path& path) { return libraryExtensions().contains(pathExtension(path)); }

bool isLegacyLibraryName(const std::filesystem::path& path) { return pathExtension(path) == legacyLibraryExtension; }

bool isPresetName(const std::filesystem::path& path) { return presetExtensions().contains(pathExtension(path)); }

bool isArchiveName(const std::filesystem::path& path) { return archiveExtensions().contains(pathExtension(path)); }

namespace {

// Characters are compared one user-perceived character at a time, after lower-casing, so a
// combining mark after the last letter keeps a name from matching.
using Characters = std::vector<std::string>;

bool endsWith(const Characters& text, const Characters& suffix) {
    if (suffix.size() > text.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](const std::string& a, const std::string& b) { return a == lowercased(b); });
}

std::string joined(const Characters& characters) {
    std::string out;
    for (const auto& c : characters) out += c;
    return out;
}

}  // namespace

std::string libraryFilename(std::string_view entered) {
    const Characters current = graphemeClusters(std::string(".") + std::string(libraryExtension));
    // Bytes that are not text stay as they are: the name is a file name, not only text.
    Characters stem = graphemeClustersKeepingBytes(entered);
    if (!endsWith(stem, current)) return std::string(entered);
    stem.resize(stem.size() - current.size());
    for (bool dropped = true; dropped;) {
        dropped = false;
        for (const auto& extension : libraryExtensions()) {
            Characters suffix = graphemeClusters("." + extension);
            if (!endsWith(stem, suffix)) continue;
            // The stem is never emptied: ".oakenmere.oakenmere" stays as it is.
            if (suffix.size() >= stem.size()) break;
            stem.resize(stem.size() - suffix.size());
            dropped = true;
            break;
        }
    }
    return joined(stem) + "." + std::string(libraryExtension);
}

}  // namespace oakenmere::LibraryBundle::LibraryFileType
