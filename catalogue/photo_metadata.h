#pragma once
// What the catalogue records of an original from the file itself: its kind (by name), capture
// time, camera and pixel size from its Exif/XMP through Exiv2 (JPEG, TIFF, HEIF where Exiv2
// reads it, PNG and the common RAW formats), and for RAW files the largest JPEG preview
// embedded in them. A file whose metadata cannot be read still gets its kind, and its capture
// time falls back to the file's modification time. Exiv2 only ever parses bytes read here, never
// a path. Stateless; any thread.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "catalogue/media_kind.h"
#include "platform/bytes.h"
#include "platform/date.h"

namespace oakenmere::catalogue {

// Photos and RAWs larger than this are catalogued by name and times alone: Exiv2 reads from memory.
inline constexpr std::int64_t largestParsedFile = std::int64_t{512} << 20;
// A JPEG larger than this is not shown.
inline constexpr std::int64_t largestDisplayedJpeg = std::int64_t{64} << 20;

struct PhotoMetadata {
    MediaKind kind = MediaKind::other;
    platform::Date captureDate;  // from the metadata, else the modification time
    bool captureDateFromMetadata = false;
    std::string cameraMake;                               // trimmed (spaces and NULs), valid UTF-8; empty when unknown
    std::string cameraModel;                              // the same; a repeated make is left for the display to drop
    std::optional<std::int64_t> pixelWidth, pixelHeight;  // both or neither
    bool operator==(const PhotoMetadata&) const = default;
};

// Reads `file` (a regular file, never through a final symbolic link). Only a file that cannot be
// opened or stat'ed throws (std::system_error; platform::NotRegularFileError for a folder, FIFO
// or device); unreadable metadata is simply absent. A capture time without a time zone is read
// in the local one.
PhotoMetadata readMetadata(const std::filesystem::path& file);

struct DisplayablePicture {
    platform::Bytes jpeg;
    int orientation = 1;  // Exif: 1 upright, 3 turned half round, 6 and 8 turned a quarter; 2, 4, 5, 7 mirrored
};

// The JPEG bytes a photo or RAW can be shown from: the file itself for a JPEG, the largest
// embedded JPEG preview for a RAW (or another format Exiv2 finds previews in), with the
// orientation its metadata gives; nothing otherwise, also when the file cannot be read (a
// symbolic link, a file over the limits). Never throws.
std::optional<DisplayablePicture> displayablePicture(const std::filesystem::path& file);
// The same, without the orientation.
std::optional<platform::Bytes> displayableJpeg(const std::filesystem::path& file);

}  // namespace oakenmere::catalogue
