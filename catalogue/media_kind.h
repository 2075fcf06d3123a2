#pragma once
// What kind of original a file is, judged by its name: the catalogue counts photos, RAW files and
// videos apart, and only photos and RAWs have pictures for the contact sheet.
#include <filesystem>
#include <optional>
#include <string_view>

namespace oakenmere::catalogue {

enum class MediaKind { photo, raw, video, other };

// "photo", "raw", "video", "other": as stored in the catalogue.
std::string_view rawValue(MediaKind kind);
std::optional<MediaKind> mediaKind(std::string_view rawValue);

// By the file name's extension, case-insensitively (".jpg", ".heic", ".cr2", ".nef", ".mov", ...).
MediaKind kindOf(const std::filesystem::path& file);

}  // namespace oakenmere::catalogue
