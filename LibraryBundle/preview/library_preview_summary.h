#pragma once
// The preview summary: the few catalogue numbers a library keeps in "Summary.json" so that its
// preview can be shown without opening the catalogue. Version 1 has counts only; version 2 adds
// a block of details. The version follows from whether details are given; no caller sets it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/date.h"
#include "platform/uuid.h"

namespace oakenmere::LibraryBundle {

using platform::Date;
using platform::Uuid;

class LibraryPreviewSummary {
public:
    // A name with the number of items it stands for (a camera, a place holding originals).
    class NamedCount {
    public:
        NamedCount(std::string name, std::int64_t count) : name_(std::move(name)), count_(count) {}
        const std::string& name() const noexcept { return name_; }
        std::int64_t count() const noexcept { return count_; }
        bool operator==(const NamedCount&) const = default;

    private:
        std::string name_;
        std::int64_t count_;
    };

    // Limits of the details block; names and writtenBy count user-perceived characters.
    static constexpr std::size_t maximumCameras = 5;
    static constexpr std::size_t maximumReferencedPlaces = 3;
    static constexpr std::size_t maximumContactSheetItems = 24;
    static constexpr std::size_t maximumNameCharacters = 80;

    struct Details {
        std::int64_t photos = 0;
        std::int64_t videos = 0;
        std::int64_t livePhotos = 0;
        std::int64_t raws = 0;
        std::int64_t spherical = 0;
        std::int64_t astro = 0;
        std::optional<Date> earliestCapture;
        std::optional<Date> latestCapture;  // no order against earliestCapture is required
        std::vector<NamedCount> cameras;
        std::int64_t copiedInside = 0;
        std::int64_t copiedInsideBytes = 0;
        std::int64_t referenced = 0;
        std::vector<NamedCount> referencedPlaces;
        std::int64_t inPhotos = 0;
        std::int64_t albums = 0;
        std::int64_t smartAlbums = 0;
        std::int64_t projects = 0;
        std::int64_t keywords = 0;
        std::int64_t rated = 0;
        std::int64_t fiveStars = 0;
        std::int64_t flagged = 0;
        std::int64_t rejected = 0;
        std::optional<std::int64_t> peopleNamed;  // absent when the library does not know
        std::int64_t unavailable = 0;
        bool hasUnfinishedImport = false;
        std::int64_t recentlyRemoved = 0;
        std::string writtenBy;
        std::vector<Uuid> contactSheet;  // the items shown in "Summary.jpg"

        bool isValid() const;
        bool operator==(const Details&) const = default;
    };

    LibraryPreviewSummary(Uuid libraryID, std::int64_t catalogRevision, std::int64_t captureCount, std::int64_t versionCount,
                          Date updatedAt, std::optional<Details> details = std::nullopt);

    std::int64_t formatVersion() const noexcept { return formatVersion_; }
    const Uuid& libraryID() const noexcept { return libraryID_; }
    std::int64_t catalogRevision() const noexcept { return catalogRevision_; }
    std::int64_t captureCount() const noexcept { return captureCount_; }
    std::int64_t versionCount() const noexcept { return versionCount_; }
    Date updatedAt() const noexcept { return updatedAt_; }
    const std::optional<Details>& details() const noexcept { return details_; }

    // Whether readers may use this summary and writers may store it.
    bool isValid() const;

    // One line of JSON with sorted keys; the same summary always gives the same bytes. Throws
    // std::invalid_argument for a date that is not finite, which JSON cannot carry.
    std::string encodeJSON() const;
    // Throws DecodingError when the bytes are not a summary object of the right types. A summary
    // that decodes may still be invalid (a version it does not know, say): check isValid().
    static LibraryPreviewSummary decodeJSON(platform::ByteView json);

    bool operator==(const LibraryPreviewSummary&) const = default;

private:
    LibraryPreviewSummary(std::int64_t formatVersion, Uuid libraryID, std::int64_t catalogRevision, std::int64_t captureCount,
                          std::int64_t versionCount, Date updatedAt, std::optional<Details> details);

    std::int64_t formatVersion_;
    Uuid libraryID_;
    std::int64_t catalogRevision_;
    std::int64_t captureCount_;
    std::int64_t versionCount_;
    Date updatedAt_;
    std::optional<Details> details_;
};

}  // namespace oakenmere::LibraryBundle
