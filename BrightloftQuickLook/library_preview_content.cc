#include "BrightloftQuickLook/library_preview_content.h"

#include "BrightloftQuickLook/localization.h"

namespace oakenmere::BrightloftQuickLook {

namespace {

using Details = LibraryBundle::LibraryPreviewSummary::Details;
using NamedCount = LibraryBundle::LibraryPreviewSummary::NamedCount;
using platform::LocaleFormat;

constexpr std::string_view kDot = " \u00B7 ";
constexpr std::string_view kComma = ", ";
constexpr std::string_view kDash = " \u2013 ";

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (const auto& part : parts) {
        if (!out.empty()) out += separator;
        out += part;
    }
    return out;
}

// The word is looked up on its own; the number and the space are joined outside the lookup.
std::string counted(const LocaleFormat& format, std::int64_t count, const char* singular, const char* plural) {
    return format.integer(count) + " " + localized(count == 1 ? singular : plural);
}

std::string places(const LocaleFormat& format, const std::vector<NamedCount>& list, std::string_view separator) {
    std::vector<std::string> parts;
    for (const auto& entry : list) parts.push_back(entry.name() + " " + format.integer(entry.count()));
    return joined(parts, separator);
}

std::string holds(const LocaleFormat& f, const Details& d) {
    std::vector<std::string> parts;
    if (d.photos >= 1) {
        std::string photos = counted(f, d.photos, translatable("photo"), translatable("photos"));
        std::vector<std::string> kinds;
        if (d.raws >= 1) kinds.push_back(localizedFormat("{0} RAW", {f.integer(d.raws)}));
        if (d.livePhotos >= 1) kinds.push_back(localizedFormat("{0} Live", {f.integer(d.livePhotos)}));
        // TRANSLATORS: the photos, then their RAW and Live counts: "3 photos (2 RAW, 1 Live)".
        if (!kinds.empty()) photos = localizedFormat("{0} ({1})", {photos, joined(kinds, kComma)});
        parts.push_back(std::move(photos));
    }
    if (d.videos >= 1) parts.push_back(counted(f, d.videos, translatable("video"), translatable("videos")));
    if (d.spherical >= 1) parts.push_back(localizedFormat("{0} 360°", {f.integer(d.spherical)}));
    if (d.astro >= 1) parts.push_back(counted(f, d.astro, translatable("astro frame"), translatable("astro frames")));
    return joined(parts, kDot);
}

std::string taken(const LocaleFormat& f, const Details& d) {
    if (!d.earliestCapture || !d.latestCapture) return {};
    std::string earliest = f.abbreviatedDate(*d.earliestCapture);
    std::string latest = f.abbreviatedDate(*d.latestCapture);
    return latest == earliest ? earliest : earliest + std::string(kDash) + latest;
}

std::string originals(const LocaleFormat& f, const Details& d) {
    std::vector<std::string> parts;
    if (d.copiedInside >= 1)
        parts.push_back(localizedFormat("{0} copied inside ({1})", {f.integer(d.copiedInside), f.fileSize(d.copiedInsideBytes)}));
    if (d.referenced >= 1) {
        std::string count = f.integer(d.referenced);
        parts.push_back(d.referencedPlaces.empty()
                            ? localizedFormat("{0} left where they are", {count})
                            : localizedFormat("{0} left where they are ({1})", {count, places(f, d.referencedPlaces, kComma)}));
    }
    if (d.inPhotos >= 1) parts.push_back(localizedFormat("{0} in Photos", {f.integer(d.inPhotos)}));
    return joined(parts, kDot);
}

std::string organised(const LocaleFormat& f, const Details& d) {
    std::vector<std::string> parts;
    if (d.albums >= 1) parts.push_back(counted(f, d.albums, translatable("album"), translatable("albums")));
    if (d.smartAlbums >= 1) parts.push_back(counted(f, d.smartAlbums, translatable("smart album"), translatable("smart albums")));
    if (d.projects >= 1) parts.push_back(counted(f, d.projects, translatable("project"), translatable("projects")));
    if (d.keywords >= 1) parts.push_back(counted(f, d.keywords, translatable("keyword"), translatable("keywords")));
    return joined(parts, kDot);
}

std::string rated(const LocaleFormat& f, const Details& d) {
    std::vector<std::string> parts;
    if (d.rated >= 1) parts.push_back(localizedFormat("{0} rated ({1} ★★★★★)", {f.integer(d.rated), f.integer(d.fiveStars)}));
    if (d.flagged == 1) parts.push_back(localized("1 favourite"));
    else if (d.flagged >= 2) parts.push_back(localizedFormat("{0} favourites", {f.integer(d.flagged)}));
    if (d.rejected >= 1) parts.push_back(localizedFormat("{0} rejected", {f.integer(d.rejected)}));
    return joined(parts, kDot);
}

std::string people(const LocaleFormat& f, const Details& d) {
    if (!d.peopleNamed || *d.peopleNamed < 1) return {};
    return counted(f, *d.peopleNamed, translatable("person named"), translatable("people named"));
}

std::vector<LibraryPreviewContent::Row> rowsOf(const LocaleFormat& f, const Details& d) {
    std::vector<LibraryPreviewContent::Row> rows;
    auto add = [&](const char* label, std::string value) {
        if (!value.empty()) rows.push_back({localized(label), std::move(value)});
    };
    add(translatable("Holds"), holds(f, d));
    add(translatable("Taken"), taken(f, d));
    add(translatable("Cameras"), places(f, d.cameras, kDot));
    add(translatable("Originals"), originals(f, d));
    add(translatable("Organised"), organised(f, d));
    add(translatable("Rated"), rated(f, d));
    add(translatable("People"), people(f, d));
    return rows;
}

std::vector<std::string> attentionOf(const LocaleFormat& f, const Details& d) {
    std::vector<std::string> sentences;
    if (d.unavailable >= 1)
        sentences.push_back(localizedFormat("{0} originals are offline or missing: connect their disk, or use Check Library in Oakenmere.",
                                            {f.integer(d.unavailable)}));
    if (d.hasUnfinishedImport) sentences.push_back(localized("An import is unfinished: Oakenmere can resume it."));
    if (d.recentlyRemoved >= 1) sentences.push_back(localizedFormat("{0} in Recently Removed.", {f.integer(d.recentlyRemoved)}));
    return sentences;
}

std::optional<ContactSheetImage> decodedContactSheet(const std::optional<platform::Bytes>& bytes) {
    if (!bytes) return std::nullopt;
    auto pixels = platform::decodeJpeg(*bytes);
    if (!pixels) return std::nullopt;
    return ContactSheetImage{*bytes, std::move(*pixels)};
}

}  // namespace

LibraryPreviewContent::LibraryPreviewContent(const std::optional<LibraryBundle::LibraryPreview>& preview, std::string name,
                                             const LocaleFormat& f)
    : name_(std::move(name)),
      about_(localized("An Oakenmere library: photos and videos, with their ratings, keywords, albums and edits, and the "
                       "originals that were copied into it. Open it in Oakenmere to look through it. Don't move or change "
                       "the files inside it.")) {
    if (!preview || !preview->summary) {
        counts_ = localized("Oakenmere Library");
        freshness_ = localized("Open this library in Oakenmere to refresh its summary.");
        return;
    }
    const auto& summary = *preview->summary;
    counts_ = counted(f, summary.captureCount(), translatable("item"), translatable("items"));
    if (std::int64_t edited = summary.versionCount() - summary.captureCount(); edited > 0)
        counts_ += std::string(kDot) + counted(f, edited, translatable("edited copy"), translatable("edited copies"));

    std::string updated = f.abbreviatedDateShortTime(summary.updatedAt());
    const auto& details = summary.details();
    if (!details) {
        freshness_ = localizedFormat("Counts last updated {0}. Open it in Oakenmere to see more here.", {updated});
        return;
    }
    rows_ = rowsOf(f, *details);
    attention_ = attentionOf(f, *details);
    freshness_ = details->writtenBy.empty() ? localizedFormat("Counts last updated {0}.", {updated})
                                            : localizedFormat("Counts last updated {0}, by {1}.", {updated, details->writtenBy});
    contactSheet_ = decodedContactSheet(preview->contactSheet);
}

}  // namespace oakenmere::BrightloftQuickLook
