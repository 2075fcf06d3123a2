#pragma once
// Previews and contact sheets for the page tests, shaped the way the summary store returns them,
// and the content made of them.
#include <cstdint>
#include <optional>
#include <string>

#include "BrightloftQuickLook/library_preview_content.h"
#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "platform/jpeg.h"

namespace oakenmere::BrightloftQuickLook::fixtures {

using Details = LibraryBundle::LibraryPreviewSummary::Details;
using LibraryBundle::LibraryPreview;
using LibraryBundle::LibraryPreviewSummary;
using oakenmere::platform::Bytes;
using oakenmere::platform::Date;
using oakenmere::platform::Uuid;

inline constexpr Date kUpdatedAt{786'220'920};  // 2025-11-30 18:42 UTC

// A real JPEG (a small gradient) that the decoder accepts.
inline Bytes contactSheetJpeg(int width = 12, int height = 8) {
    oakenmere::platform::RgbImage image(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto* p = image.at(x, y);
            p[0] = static_cast<std::uint8_t>(x * 20), p[1] = static_cast<std::uint8_t>(y * 30), p[2] = 128;
        }
    return oakenmere::platform::encodeJpeg(image, 90);
}

// Starts with the JPEG marker, so the store keeps it, but no decoder can read it.
inline Bytes brokenJpeg() { return oakenmere::platform::toBytes("\xFF\xD8\xFF" + std::string(200, 'Z')); }

// Details that fill every row and every attention sentence, with two contact-sheet items.
inline Details fullDetails() {
    Details d;
    d.photos = 3, d.raws = 2, d.videos = 1;
    d.earliestCapture = Date::fromUnixSeconds(1'709'544'600);
    d.latestCapture = Date::fromUnixSeconds(1'752'048'000);
    d.cameras = {{"X100V", 3}};
    d.copiedInside = 4, d.copiedInsideBytes = 12'000'000;
    d.albums = 1, d.rated = 2, d.fiveStars = 1, d.peopleNamed = 2;
    d.unavailable = 1, d.hasUnfinishedImport = true, d.recentlyRemoved = 2;
    d.writtenBy = "Oakenmere 1.0";
    d.contactSheet = {Uuid::random(), Uuid::random()};
    return d;
}

inline LibraryPreviewSummary summaryOf(std::optional<Details> details, std::int64_t captures = 10, std::int64_t versions = 12,
                                       Uuid library = Uuid::random()) {
    return LibraryPreviewSummary(library, 1, captures, versions, kUpdatedAt, std::move(details));
}

inline LibraryPreview previewOf(std::optional<Details> details, std::optional<Bytes> sheet = std::nullopt, std::int64_t captures = 10,
                                std::int64_t versions = 12) {
    return LibraryPreview{"Holiday", summaryOf(std::move(details), captures, versions), std::move(sheet)};
}

// The page's words as a reader in the United States, in UTC, sees them.
inline const oakenmere::platform::LocaleFormat& enUS() {
    static const oakenmere::platform::LocaleFormat format("en_US", "UTC");
    return format;
}

inline LibraryPreviewContent contentOf(const std::optional<LibraryPreview>& preview, std::string name = "Holiday") {
    return LibraryPreviewContent(preview, std::move(name), enUS());
}

}  // namespace oakenmere::BrightloftQuickLook::fixtures
