#pragma once
// The contact sheet of a library's preview: its newest pictures scaled down and tiled into one
// JPEG, under the summary store's size limit: square cells in rows of six, each picture upright (as
// its Exif orientation says) and cropped to its centre. Pictures are decoded scaled (libjpeg-turbo),
// RAW files through the JPEG preview embedded in them; a picture that cannot be shown is left out.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/bytes.h"
#include "platform/uuid.h"

namespace oakenmere::catalogue {

struct ContactSheetPicture {
    platform::Uuid id;  // the catalogue's identifier of the original
    std::filesystem::path file;
};

struct ContactSheet {
    platform::Bytes jpeg;             // at most LibraryPreviewSummaryStore::contactSheetByteLimit bytes
    std::vector<platform::Uuid> ids;  // the pictures shown, in the order they are tiled
};

// The first LibraryPreviewSummary::maximumContactSheetItems pictures, in the order given (newest
// first), less those that cannot be shown (later ones do not take their place); nothing when none
// of them can be shown. Throws only when the encoder fails.
std::optional<ContactSheet> makeContactSheet(const std::vector<ContactSheetPicture>& pictures);

}  // namespace oakenmere::catalogue
