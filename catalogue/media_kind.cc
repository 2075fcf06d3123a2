#include "catalogue/media_kind.h"

#include <algorithm>
#include <array>
#include <string>

namespace oakenmere::catalogue {

namespace {

// clang-format off
constexpr std::array<std::string_view, 9> kPhotos{"jpg", "jpeg", "heic", "heif", "png", "tif", "tiff", "webp", "avif"};
constexpr std::array<std::string_view, 21> kRaws{"cr2", "cr3", "crw", "nef", "nrw", "arw", "srf", "sr2", "dng", "raf", "orf",
                                                 "rw2", "pef", "srw", "x3f", "3fr", "iiq", "mos", "mrw", "erf", "kdc"};
constexpr std::array<std::string_view, 9> kVideos{"mov", "mp4", "m4v", "avi", "mts", "m2ts", "3gp", "mkv", "webm"};
constexpr std::array<std::pair<MediaKind, std::string_view>, 4> kNames{
    {{MediaKind::photo, "photo"}, {MediaKind::raw, "raw"}, {MediaKind::video, "video"}, {MediaKind::other, "other"}}};
// clang-format on

bool among(const auto& list, std::string_view extension) { return std::find(list.begin(), list.end(), extension) != list.end(); }

}  // namespace

std::string_view rawValue(MediaKind kind) {
    for (const auto& [k, name] : kNames)
        if (k == kind) return name;
    return "other";
}

std::optional<MediaKind> mediaKind(std::string_view rawValue) {
    for (const auto& [kind, name] : kNames)
        if (name == rawValue) return kind;
    return std::nullopt;
}

MediaKind kindOf(const std::filesystem::path& file) {
    std::string extension = file.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (among(kPhotos, extension)) return MediaKind::photo;
    if (among(kRaws, extension)) return MediaKind::raw;
    if (among(kVideos, extension)) return MediaKind::video;
    return MediaKind::other;
}

}  // namespace oakenmere::catalogue
