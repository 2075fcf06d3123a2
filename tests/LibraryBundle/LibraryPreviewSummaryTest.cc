#include "LibraryBundle/preview/LibraryPreviewSummary.h"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <limits>

#include "platform/json.h"

namespace LibraryBundle {
namespace {

using oakenmere::platform::asBytes;
using oakenmere::platform::DecodingError;
using oakenmere::platform::Json;
using Details = LibraryPreviewSummary::Details;
using NamedCount = LibraryPreviewSummary::NamedCount;

const Uuid kLibrary = *Uuid::parse("6B1F2E3D-4C5B-4A69-8877-665544332211");
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::string repeated(std::string_view piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

const std::string kThumbsUp = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // one character, eight bytes

// Every field differs from its default, so a field lost in encoding or decoding shows.
Details fullDetails() {
    Details d;
    d.photos = 1200, d.videos = 34, d.livePhotos = 56, d.raws = 2000, d.spherical = 3, d.astro = 4;
    d.earliestCapture = Date{-31'536'000.5}, d.latestCapture = Date{726'000'000.125};
    d.cameras = {NamedCount("X100V", 800), NamedCount("iPhone 15 Pro", 400)};
    d.copiedInside = 1100, d.copiedInsideBytes = 12'345'678'901'234, d.referenced = 100;
    d.referencedPlaces = {NamedCount("Archive / 2019", 100)};
    d.inPhotos = 7, d.albums = 8, d.smartAlbums = 9, d.projects = 10, d.keywords = 11, d.rated = 12;
    d.fiveStars = 13, d.flagged = 14, d.rejected = 15, d.peopleNamed = 16, d.unavailable = 17;
    d.hasUnfinishedImport = true, d.recentlyRemoved = 18, d.writtenBy = "Oakenmere 3.2/Mac";
    d.contactSheet = {Uuid::random(), Uuid::random()};
    return d;
}

LibraryPreviewSummary withDetails(const Details& details) {
    return LibraryPreviewSummary(kLibrary, 42, 1234, 1300, Date{726'000'100.5}, details);
}

TEST(LibraryPreviewSummary, VersionFollowsDetails) {
    LibraryPreviewSummary plain(kLibrary, 7, 3, 4, Date{12.5});
    EXPECT_EQ(plain.formatVersion(), 1);
    EXPECT_TRUE(plain.isValid());
    EXPECT_EQ(plain.encodeJSON(), R"({"captureCount":3,"catalogRevision":7,"formatVersion":1,)"
                                  R"("libraryID":"6B1F2E3D-4C5B-4A69-8877-665544332211","updatedAt":12.5,"versionCount":4})");
    EXPECT_EQ(withDetails(Details()).formatVersion(), 2);
    EXPECT_TRUE(withDetails(Details()).isValid());
}

TEST(LibraryPreviewSummary, SummaryLimits) {
    auto valid = [](std::int64_t revision, std::int64_t capture, std::int64_t version, double updatedAt) {
        return LibraryPreviewSummary(kLibrary, revision, capture, version, Date{updatedAt}).isValid();
    };
    EXPECT_TRUE(valid(0, 0, 0, 0));
    EXPECT_TRUE(valid(0, 5, 5, -1e9));
    EXPECT_FALSE(valid(0, 5, 4, 0));
    EXPECT_FALSE(valid(-1, 0, 0, 0));
    EXPECT_FALSE(valid(0, -1, 0, 0));
    for (double bad : {kNaN, kInfinity, -kInfinity}) EXPECT_FALSE(valid(0, 0, 0, bad)) << bad;
}

TEST(LibraryPreviewSummary, DetailsLimits) {
    struct Case {
        const char* what;
        std::function<void(Details&)> change;
        bool valid;
    };
    auto cameras = [](std::size_t n) { return std::vector<NamedCount>(n, NamedCount("X100V", 1)); };
    auto named = [](std::string name) { return std::vector<NamedCount>{NamedCount(std::move(name), 0)}; };
    const Case cases[] = {
        {"5 cameras", [&](Details& d) { d.cameras = cameras(5); }, true},
        {"6 cameras", [&](Details& d) { d.cameras = cameras(6); }, false},
        {"3 places", [&](Details& d) { d.referencedPlaces = cameras(3); }, true},
        {"4 places", [&](Details& d) { d.referencedPlaces = cameras(4); }, false},
        {"24 sheet items", [](Details& d) { d.contactSheet.assign(24, Uuid::random()); }, true},
        {"25 sheet items", [](Details& d) { d.contactSheet.assign(25, Uuid::random()); }, false},
        {"80-letter camera", [&](Details& d) { d.cameras = named(std::string(80, 'x')); }, true},
        {"81-letter camera", [&](Details& d) { d.cameras = named(std::string(81, 'x')); }, false},
        {"80-emoji camera", [&](Details& d) { d.cameras = named(repeated(kThumbsUp, 80)); }, true},
        {"81-emoji camera", [&](Details& d) { d.cameras = named(repeated(kThumbsUp, 81)); }, false},
        {"80 accented letters", [&](Details& d) { d.referencedPlaces = named(repeated("e\xCC\x81", 80)); }, true},
        {"81-letter place", [&](Details& d) { d.referencedPlaces = named(std::string(81, 'x')); }, false},
        {"empty camera name", [&](Details& d) { d.cameras = named(""); }, false},
        {"empty place name", [&](Details& d) { d.referencedPlaces = named(""); }, false},
        {"negative camera count", [](Details& d) { d.cameras = {NamedCount("X", -1)}; }, false},
        {"negative place count", [](Details& d) { d.referencedPlaces = {NamedCount("X", -1)}; }, false},
        {"empty writtenBy", [](Details& d) { d.writtenBy = ""; }, true},
        {"80-emoji writtenBy", [&](Details& d) { d.writtenBy = repeated(kThumbsUp, 80); }, true},
        {"81-emoji writtenBy", [&](Details& d) { d.writtenBy = repeated(kThumbsUp, 81); }, false},
        {"earliest after latest", [](Details& d) { d.earliestCapture = Date{10}; d.latestCapture = Date{5}; }, true},
        {"NaN earliest", [](Details& d) { d.earliestCapture = Date{kNaN}; }, false},
        {"infinite latest", [](Details& d) { d.latestCapture = Date{kInfinity}; }, false},
        {"-infinite earliest", [](Details& d) { d.earliestCapture = Date{-kInfinity}; }, false},
        {"no people count", [](Details& d) { d.peopleNamed.reset(); }, true},
        {"zero people", [](Details& d) { d.peopleNamed = 0; }, true},
        {"negative people", [](Details& d) { d.peopleNamed = -1; }, false},
    };
    for (const Case& c : cases) {
        Details d = fullDetails();
        c.change(d);
        EXPECT_EQ(withDetails(d).isValid(), c.valid) << c.what;
    }

    // Every plain count must be at least 0.
    for (auto field : {&Details::photos, &Details::videos, &Details::livePhotos, &Details::raws, &Details::spherical,
                       &Details::astro, &Details::copiedInside, &Details::copiedInsideBytes, &Details::referenced,
                       &Details::inPhotos, &Details::albums, &Details::smartAlbums, &Details::projects,
                       &Details::keywords, &Details::rated, &Details::fiveStars, &Details::flagged, &Details::rejected,
                       &Details::unavailable, &Details::recentlyRemoved}) {
        Details d = fullDetails();
        d.*field = -1;
        EXPECT_FALSE(withDetails(d).isValid());
        d.*field = 0;
        EXPECT_TRUE(withDetails(d).isValid());
    }
}

TEST(LibraryPreviewSummary, EncodingIsStableSortedAndRoundTrips) {
    LibraryPreviewSummary summary = withDetails(fullDetails());
    std::string json = summary.encodeJSON();
    EXPECT_EQ(json, summary.encodeJSON());
    for (const char* loose : {"\n", "\": ", ", \""}) EXPECT_EQ(json.find(loose), std::string::npos) << json;
    EXPECT_NE(json.find(R"("writtenBy":"Oakenmere 3.2\/Mac")"), std::string::npos) << json;

    const char* keys[] = {"captureCount", "catalogRevision", "details", "albums", "astro", "cameras", "count", "name",
                          "contactSheet", "copiedInside\"", "copiedInsideBytes", "earliestCapture", "fiveStars",
                          "flagged", "hasUnfinishedImport", "inPhotos", "keywords", "latestCapture", "livePhotos",
                          "peopleNamed", "photos", "projects", "rated", "raws", "recentlyRemoved", "referenced\"",
                          "referencedPlaces", "rejected", "smartAlbums", "spherical", "unavailable", "videos",
                          "writtenBy", "formatVersion", "libraryID", "updatedAt", "versionCount"};
    std::size_t last = 0;
    for (const char* key : keys) {
        std::size_t at = json.find("\"" + std::string(key), last);
        ASSERT_NE(at, std::string::npos) << key << " missing or out of order in " << json;
        last = at;
    }

    EXPECT_EQ(LibraryPreviewSummary::decodeJSON(asBytes(json)), summary);
    Details sparse;  // absent optionals are left out and come back absent
    std::string sparseJson = withDetails(sparse).encodeJSON();
    for (const char* key : {"peopleNamed", "earliestCapture", "latestCapture"})
        EXPECT_EQ(sparseJson.find(key), std::string::npos) << key;
    EXPECT_EQ(LibraryPreviewSummary::decodeJSON(asBytes(sparseJson)), withDetails(sparse));
}

class LibraryPreviewSummaryDecoding : public ::testing::Test {
protected:
    Json stored = Json::parse(withDetails(fullDetails()).encodeJSON());
    LibraryPreviewSummary decode() const { return LibraryPreviewSummary::decodeJSON(asBytes(stored.dump())); }
};

TEST_F(LibraryPreviewSummaryDecoding, VersionAndDetailsMustAgreeToBeValid) {
    Json details = stored["details"];
    stored.erase("details");
    EXPECT_EQ(decode().formatVersion(), 2);
    EXPECT_FALSE(decode().isValid());

    stored["formatVersion"] = 1;
    EXPECT_TRUE(decode().isValid());
    stored["details"] = details;
    EXPECT_FALSE(decode().isValid());

    for (int version : {0, 3, -2}) {
        stored["formatVersion"] = version;
        EXPECT_FALSE(decode().isValid()) << version;
    }
    stored["details"] = nullptr;  // null stands for absent
    stored["formatVersion"] = 1;
    EXPECT_TRUE(decode().isValid());
}

TEST_F(LibraryPreviewSummaryDecoding, OptionalKeysMayBeMissingOrNull) {
    stored["details"].erase("peopleNamed");
    EXPECT_EQ(decode().details()->peopleNamed, std::nullopt);
    stored["details"]["peopleNamed"] = nullptr;
    stored["details"]["earliestCapture"] = nullptr;
    stored["details"].erase("latestCapture");
    EXPECT_EQ(decode().details()->peopleNamed, std::nullopt);
    EXPECT_EQ(decode().details()->earliestCapture, std::nullopt);
    EXPECT_EQ(decode().details()->latestCapture, std::nullopt);
    EXPECT_TRUE(decode().isValid());
}

TEST_F(LibraryPreviewSummaryDecoding, EveryRequiredKeyMustBePresent) {
    for (const char* key : {"captureCount", "catalogRevision", "formatVersion", "libraryID", "updatedAt", "versionCount"}) {
        Json saved = stored;
        stored.erase(key);
        EXPECT_THROW(decode(), DecodingError) << key;
        stored[key] = nullptr;
        EXPECT_THROW(decode(), DecodingError) << key << " null";
        stored = saved;
    }
    const Json details = stored["details"];
    ASSERT_EQ(details.size(), 28u);
    for (const auto& item : details.items()) {
        const std::string& key = item.key();
        if (key == "peopleNamed" || key == "earliestCapture" || key == "latestCapture") continue;
        Json saved = stored;
        stored["details"].erase(key);
        EXPECT_THROW(decode(), DecodingError) << key;
        stored = saved;
    }
    stored["details"]["cameras"][0].erase("name");
    EXPECT_THROW(decode(), DecodingError);
}

TEST_F(LibraryPreviewSummaryDecoding, ValuesOfTheWrongTypeOrRangeFail) {
    const std::pair<const char*, Json> cases[] = {
        {"/captureCount", std::uint64_t{9'223'372'036'854'775'808u}},
        {"/catalogRevision", 1.5},
        {"/versionCount", "5"},
        {"/updatedAt", "726000000"},
        {"/libraryID", "6B1F2E3D-4C5B-4A69-8877-66554433221"},
        {"/details/copiedInsideBytes", 1e19},
        {"/details/peopleNamed", std::uint64_t{18'446'744'073'709'551'615u}},
        {"/details/hasUnfinishedImport", 1},
        {"/details/writtenBy", nullptr},
        {"/details/cameras", Json::object()},
        {"/details/cameras/0/count", 2.5},
        {"/details/contactSheet/0", "not a uuid"},
        {"/details", Json::array()},
    };
    for (const auto& [pointer, value] : cases) {
        Json saved = stored;
        stored[Json::json_pointer(pointer)] = value;
        EXPECT_THROW(decode(), DecodingError) << pointer;
        stored = saved;
    }
    stored["details"]["copiedInsideBytes"] = INT64_MAX;
    stored["captureCount"] = 5.0;
    EXPECT_EQ(decode().details()->copiedInsideBytes, INT64_MAX);
    EXPECT_EQ(decode().captureCount(), 5);
}

TEST_F(LibraryPreviewSummaryDecoding, ReadersAcceptWhatWritersDoNotProduce) {
    stored["comment"] = "from a newer version";
    stored["details"]["sharedAlbums"] = 3;
    stored["details"]["cameras"][0]["model"] = "X100V";
    stored["libraryID"] = "6b1f2e3d-4c5b-4a69-8877-665544332211";
    stored["updatedAt"] = -5;
    LibraryPreviewSummary summary = decode();
    EXPECT_EQ(summary.libraryID(), kLibrary);
    EXPECT_EQ(summary.updatedAt(), Date{-5});
    EXPECT_EQ(summary.details()->cameras, fullDetails().cameras);

    std::string text = R"({"captureCount":1,"catalogRevision":0,"formatVersion":1,)"
                       R"("libraryID":"6B1F2E3D-4C5B-4A69-8877-665544332211","updatedAt":0,"versionCount":1})";
    EXPECT_TRUE(LibraryPreviewSummary::decodeJSON(asBytes(text)).isValid());
    for (std::string_view bad : {"", "[]", "null", "{}", "{\"captureCount\":1"})
        EXPECT_THROW(LibraryPreviewSummary::decodeJSON(asBytes(bad)), DecodingError) << bad;
}

}  // namespace
}  // namespace LibraryBundle
