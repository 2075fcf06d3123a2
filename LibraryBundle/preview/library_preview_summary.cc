#include "LibraryBundle/preview/library_preview_summary.h"

#include <array>
#include <utility>

#include "platform/json.h"
#include "platform/text.h"

namespace oakenmere::LibraryBundle {

using platform::Json;
using platform::JsonObject;

namespace {

using Details = LibraryPreviewSummary::Details;
using NamedCount = LibraryPreviewSummary::NamedCount;

// The details' plain counts: each is at least 0 and is stored under its own name.
constexpr std::array<std::pair<const char*, std::int64_t Details::*>, 20> kCounts{{
    {"photos", &Details::photos},
    {"videos", &Details::videos},
    {"livePhotos", &Details::livePhotos},
    {"raws", &Details::raws},
    {"spherical", &Details::spherical},
    {"astro", &Details::astro},
    {"copiedInside", &Details::copiedInside},
    {"copiedInsideBytes", &Details::copiedInsideBytes},
    {"referenced", &Details::referenced},
    {"inPhotos", &Details::inPhotos},
    {"albums", &Details::albums},
    {"smartAlbums", &Details::smartAlbums},
    {"projects", &Details::projects},
    {"keywords", &Details::keywords},
    {"rated", &Details::rated},
    {"fiveStars", &Details::fiveStars},
    {"flagged", &Details::flagged},
    {"rejected", &Details::rejected},
    {"unavailable", &Details::unavailable},
    {"recentlyRemoved", &Details::recentlyRemoved},
}};

bool isValidName(const std::string& name) {
    return !name.empty() && platform::hasAtMostGraphemes(name, LibraryPreviewSummary::maximumNameCharacters);
}

bool areValid(const std::vector<NamedCount>& list, std::size_t maximum) {
    if (list.size() > maximum) return false;
    for (const auto& entry : list)
        if (!isValidName(entry.name()) || entry.count() < 0) return false;
    return true;
}

bool isFinite(const std::optional<Date>& date) { return !date || date->isFinite(); }

Json encodeNamedCounts(const std::vector<NamedCount>& list) {
    Json array = Json::array();
    for (const auto& entry : list) array.push_back(Json{{"count", entry.count()}, {"name", entry.name()}});
    return array;
}

std::vector<NamedCount> decodeNamedCounts(const JsonObject& parent, const char* key) {
    const Json& array = parent.array(key);
    std::vector<NamedCount> list;
    list.reserve(array.size());
    for (std::size_t i = 0; i < array.size(); ++i) {
        JsonObject entry(array[i], parent.path() + "." + key + "[" + std::to_string(i) + "]");
        list.emplace_back(entry.string("name"), entry.int64("count"));
    }
    return list;
}

Json encodeDetails(const Details& details) {
    Json json = Json::object();
    for (const auto& [key, field] : kCounts) json[key] = details.*field;
    json["cameras"] = encodeNamedCounts(details.cameras);
    json["referencedPlaces"] = encodeNamedCounts(details.referencedPlaces);
    Json sheet = Json::array();
    for (const auto& id : details.contactSheet) sheet.push_back(id.string());
    json["contactSheet"] = std::move(sheet);
    if (details.earliestCapture) json["earliestCapture"] = platform::dateJson(*details.earliestCapture);
    if (details.latestCapture) json["latestCapture"] = platform::dateJson(*details.latestCapture);
    if (details.peopleNamed) json["peopleNamed"] = *details.peopleNamed;
    json["hasUnfinishedImport"] = details.hasUnfinishedImport;
    json["writtenBy"] = details.writtenBy;
    return json;
}

Details decodeDetails(const JsonObject& json) {
    Details details;
    for (const auto& [key, field] : kCounts) details.*field = json.int64(key);
    details.cameras = decodeNamedCounts(json, "cameras");
    details.referencedPlaces = decodeNamedCounts(json, "referencedPlaces");
    const Json& sheet = json.array("contactSheet");
    for (std::size_t i = 0; i < sheet.size(); ++i)
        details.contactSheet.push_back(JsonObject::toUuid(sheet[i], json.path() + ".contactSheet[" + std::to_string(i) + "]"));
    details.earliestCapture = json.optionalDate("earliestCapture");
    details.latestCapture = json.optionalDate("latestCapture");
    details.peopleNamed = json.optionalInt64("peopleNamed");
    details.hasUnfinishedImport = json.boolean("hasUnfinishedImport");
    details.writtenBy = json.string("writtenBy");
    return details;
}

}  // namespace

bool Details::isValid() const {
    for (const auto& [key, field] : kCounts)
        if (this->*field < 0) return false;
    if (peopleNamed && *peopleNamed < 0) return false;
    if (!areValid(cameras, maximumCameras) || !areValid(referencedPlaces, maximumReferencedPlaces)) return false;
    if (!platform::hasAtMostGraphemes(writtenBy, maximumNameCharacters)) return false;
    if (contactSheet.size() > maximumContactSheetItems) return false;
    return isFinite(earliestCapture) && isFinite(latestCapture);
}

LibraryPreviewSummary::LibraryPreviewSummary(Uuid libraryID, std::int64_t catalogRevision, std::int64_t captureCount,
                                             std::int64_t versionCount, Date updatedAt, std::optional<Details> details)
    : LibraryPreviewSummary(details ? 2 : 1, libraryID, catalogRevision, captureCount, versionCount, updatedAt, std::move(details)) {}

LibraryPreviewSummary::LibraryPreviewSummary(std::int64_t formatVersion, Uuid libraryID, std::int64_t catalogRevision,
                                             std::int64_t captureCount, std::int64_t versionCount, Date updatedAt,
                                             std::optional<Details> details)
    : formatVersion_(formatVersion), libraryID_(libraryID), catalogRevision_(catalogRevision), captureCount_(captureCount),
      versionCount_(versionCount), updatedAt_(updatedAt), details_(std::move(details)) {}

bool LibraryPreviewSummary::isValid() const {
    bool versionMatches = (formatVersion_ == 1 && !details_) || (formatVersion_ == 2 && details_ && details_->isValid());
    if (!versionMatches) return false;
    if (catalogRevision_ < 0) return false;
    if (captureCount_ < 0 || versionCount_ < captureCount_) return false;
    return updatedAt_.isFinite();
}

std::string LibraryPreviewSummary::encodeJSON() const {
    Json json = {{"captureCount", captureCount_},    {"catalogRevision", catalogRevision_},         {"formatVersion", formatVersion_},
                 {"libraryID", libraryID_.string()}, {"updatedAt", platform::dateJson(updatedAt_)}, {"versionCount", versionCount_}};
    if (details_) json["details"] = encodeDetails(*details_);
    return platform::encodeCompactJson(json);
}

LibraryPreviewSummary LibraryPreviewSummary::decodeJSON(platform::ByteView bytes) {
    Json root = platform::parseJson(bytes);
    JsonObject json(root, "");
    std::optional<Details> details;
    if (auto block = json.optionalObject("details")) details = decodeDetails(*block);
    return LibraryPreviewSummary(json.int64("formatVersion"), json.uuid("libraryID"), json.int64("catalogRevision"),
                                 json.int64("captureCount"), json.int64("versionCount"), json.date("updatedAt"), std::move(details));
}

}  // namespace oakenmere::LibraryBundle
