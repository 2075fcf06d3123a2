#include "catalogue/contact_sheet.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "LibraryBundle/preview/library_preview_summary.h"
#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "catalogue/photo_metadata.h"
#include "platform/jpeg.h"

namespace oakenmere::catalogue {

namespace {

using platform::RgbImage;

constexpr int kColumns = 6;                           // 24 pictures make 6 × 4 cells
constexpr int kGap = 4;                               // pixels between cells and around them
constexpr std::uint8_t kBackground[] = {38, 38, 40};  // a neutral dark grey
// Cells shrink only when no quality fits the limit; each size is tried at falling qualities.
constexpr std::array kCellSides{160, 120, 80, 48};
constexpr std::array kQualities{85, 75, 65, 50, 35};

// Decoded at 1/2, 1/4 or 1/8 of their size to little more than a cell. Large sensors exceed the
// decoder's usual side limit, and a progressive camera picture needs more working memory.
constexpr platform::JpegLimits kLimits{
    .largestSide = 16384, .largestScans = 32, .largestWorkingMemory = 256L << 20, .largestDecodedSide = 2 * kCellSides[0]};

struct Tile {
    platform::Uuid id;
    RgbImage square;  // upright, centre-cropped, kCellSides[0] on a side
};

// The stored pixel shown at (x, y) of the upright picture, for a stored `width` × `height`.
std::pair<int, int> storedPixel(int orientation, int x, int y, int width, int height) {
    switch (orientation) {
    case 2: return {width - 1 - x, y};
    case 3: return {width - 1 - x, height - 1 - y};
    case 4: return {x, height - 1 - y};
    case 5: return {y, x};
    case 6: return {y, height - 1 - x};
    case 7: return {width - 1 - y, height - 1 - x};
    case 8: return {width - 1 - y, x};
    default: return {x, y};
    }
}

// The centre square of the upright picture, each cell pixel the average of the pixels it covers.
RgbImage uprightSquare(RgbImage& image, int orientation, int side) {
    bool turned = orientation >= 5;
    int uprightWidth = turned ? image.height : image.width, uprightHeight = turned ? image.width : image.height;
    int crop = std::min(uprightWidth, uprightHeight);
    int left = (uprightWidth - crop) / 2, top = (uprightHeight - crop) / 2;
    RgbImage square(side, side);
    auto span = [&](int i, int origin) {
        int from = origin + i * crop / side;
        return std::pair(from, std::max(from + 1, origin + (i + 1) * crop / side));
    };
    for (int y = 0; y < side; ++y) {
        auto [y0, y1] = span(y, top);
        for (int x = 0; x < side; ++x) {
            auto [x0, x1] = span(x, left);
            unsigned sum[3] = {0, 0, 0};
            for (int v = y0; v < y1; ++v)
                for (int u = x0; u < x1; ++u) {
                    auto [sx, sy] = storedPixel(orientation, u, v, image.width, image.height);
                    const std::uint8_t* pixel = image.at(sx, sy);
                    for (int c = 0; c < 3; ++c) sum[c] += pixel[c];
                }
            unsigned count = static_cast<unsigned>((y1 - y0) * (x1 - x0));
            for (int c = 0; c < 3; ++c) square.at(x, y)[c] = static_cast<std::uint8_t>((sum[c] + count / 2) / count);
        }
    }
    return square;
}

RgbImage sheetOf(std::vector<Tile>& tiles, int side) {
    int columns = std::min<int>(kColumns, static_cast<int>(tiles.size()));
    int rows = (static_cast<int>(tiles.size()) + columns - 1) / columns;
    RgbImage sheet(columns * side + (columns + 1) * kGap, rows * side + (rows + 1) * kGap);
    for (std::size_t i = 0; i < sheet.pixels.size(); ++i) sheet.pixels[i] = kBackground[i % 3];
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        std::optional<RgbImage> scaled;
        if (side != kCellSides[0]) scaled = uprightSquare(tiles[i].square, 1, side);
        RgbImage& cell = scaled ? *scaled : tiles[i].square;
        int left = kGap + static_cast<int>(i) % columns * (side + kGap), top = kGap + static_cast<int>(i) / columns * (side + kGap);
        for (int y = 0; y < side; ++y) std::copy_n(cell.at(0, y), side * 3, sheet.at(left, top + y));
    }
    return sheet;
}

}  // namespace

std::optional<ContactSheet> makeContactSheet(const std::vector<ContactSheetPicture>& pictures) {
    std::vector<Tile> tiles;
    std::size_t considered = std::min(pictures.size(), LibraryBundle::LibraryPreviewSummary::maximumContactSheetItems);
    for (std::size_t i = 0; i < considered; ++i) {
        auto picture = displayablePicture(pictures[i].file);
        if (!picture) continue;
        auto image = platform::decodeJpeg(picture->jpeg, kLimits);
        if (!image) continue;
        tiles.push_back({pictures[i].id, uprightSquare(*image, picture->orientation, kCellSides[0])});
    }
    if (tiles.empty()) return std::nullopt;

    for (int side : kCellSides) {
        RgbImage sheet = sheetOf(tiles, side);
        for (int quality : kQualities) {
            platform::Bytes jpeg = platform::encodeJpeg(sheet, quality);
            if (jpeg.size() > LibraryBundle::LibraryPreviewSummaryStore::contactSheetByteLimit) continue;
            ContactSheet result{std::move(jpeg), {}};
            for (const auto& tile : tiles) result.ids.push_back(tile.id);
            return result;
        }
    }
    return std::nullopt;  // not reached for any real pictures: 48-pixel cells at quality 35 are far below the limit
}

}  // namespace oakenmere::catalogue
