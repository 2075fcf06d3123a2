#include "LibraryBundle/preview/library_preview_summary.h"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <set>
#include <stdexcept>
#include <tuple>

#include "platform/json.h"
#include "support/child_process.h"

namespace oakenmere::LibraryBundle {
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
    d.contactSheet = {*Uuid::parse("00000000-0000-4000-8000-000000000001"), *Uuid::parse("00000000-0000-4000-8000-000000000002")};
    return d;
}

LibraryPreviewSummary withDetails(const Details& details) {
    return LibraryPreviewSummary(kLibrary, 42, 1234, 1300, Date{726'000'100.5}, details);
}

// One line, keys sorted at every level, "/" escaped; the version follows from the details. (Absent
// optionals are left out: EveryRequiredKeyMustBePresent.)
TEST(LibraryPreviewSummary, EncodingIsOneSortedLineAndRoundTrips) {
    const LibraryPreviewSummary plain(kLibrary, 7, 3, 4, Date{12.5}), full = withDetails(fullDetails());
    EXPECT_EQ(plain.encodeJSON(), R"({"captureCount":3,"catalogRevision":7,"formatVersion":1,)"
                                  R"("libraryID":"6B1F2E3D-4C5B-4A69-8877-665544332211","updatedAt":12.5,"versionCount":4})");
    EXPECT_EQ(full.encodeJSON(),
              R"({"captureCount":1234,"catalogRevision":42,"details":{"albums":8,"astro":4,)"
              R"("cameras":[{"count":800,"name":"X100V"},{"count":400,"name":"iPhone 15 Pro"}],)"
              R"("contactSheet":["00000000-0000-4000-8000-000000000001","00000000-0000-4000-8000-000000000002"],)"
              R"("copiedInside":1100,"copiedInsideBytes":12345678901234,"earliestCapture":-31536000.5,"fiveStars":13,)"
              R"("flagged":14,"hasUnfinishedImport":true,"inPhotos":7,"keywords":11,"latestCapture":726000000.125,)"
              R"("livePhotos":56,"peopleNamed":16,"photos":1200,"projects":10,"rated":12,"raws":2000,"recentlyRemoved":18,)"
              R"("referenced":100,"referencedPlaces":[{"count":100,"name":"Archive \/ 2019"}],"rejected":15,)"
              R"("smartAlbums":9,"spherical":3,"unavailable":17,"videos":34,"writtenBy":"Oakenmere 3.2\/Mac"},)"
              R"("formatVersion":2,"libraryID":"6B1F2E3D-4C5B-4A69-8877-665544332211","updatedAt":726000100.5,)"
              R"("versionCount":1300})");
    for (const auto& summary : {plain, full}) {
        EXPECT_TRUE(summary.isValid());
        EXPECT_EQ(LibraryPreviewSummary::decodeJSON(asBytes(summary.encodeJSON())), summary);
    }
}

TEST(LibraryPreviewSummary, Limits) {
    auto valid = [](std::int64_t revision, std::int64_t capture, std::int64_t version, double updatedAt) {
        return LibraryPreviewSummary(kLibrary, revision, capture, version, Date{updatedAt}).isValid();
    };
    EXPECT_TRUE(valid(0, 0, 0, 0));
    EXPECT_TRUE(valid(0, 5, 5, -1e9));
    EXPECT_FALSE(valid(0, 5, 4, 0));
    EXPECT_FALSE(valid(-1, 0, 0, 0));
    EXPECT_FALSE(valid(0, -1, 0, 0));
    // Every date must be finite, however far away. JSON has no number for one that is not:
    // encoding refuses it rather than write null, which would read back as absent or not at all.
    const std::pair<double, bool> dates[] = {{-1e300, true}, {1e300, true}, {kNaN, false}, {kInfinity, false}, {-kInfinity, false}};
    for (const auto& [date, isValid] : dates) {
        Details early = fullDetails(), late = fullDetails();
        early.earliestCapture = Date{date}, late.latestCapture = Date{date};
        for (const auto& summary : {LibraryPreviewSummary(kLibrary, 0, 0, 0, Date{date}), withDetails(early), withDetails(late)}) {
            EXPECT_EQ(summary.isValid(), isValid) << date;
            if (!std::isfinite(date)) {
                EXPECT_THROW(summary.encodeJSON(), std::invalid_argument) << date;
            }
        }
    }

    auto cameras = [](std::size_t n) { return std::vector<NamedCount>(n, NamedCount("X100V", 1)); };
    auto named = [](std::string name) { return std::vector<NamedCount>{NamedCount(std::move(name), 0)}; };
    const std::tuple<const char*, std::function<void(Details&)>, bool> cases[] = {
        {"5 cameras", [&](Details& d) { d.cameras = cameras(5); }, true},
        {"6 cameras", [&](Details& d) { d.cameras = cameras(6); }, false},
        {"3 places", [&](Details& d) { d.referencedPlaces = cameras(3); }, true},
        {"4 places", [&](Details& d) { d.referencedPlaces = cameras(4); }, false},
        {"24 sheet items", [](Details& d) { d.contactSheet.assign(24, Uuid::random()); }, true},
        {"25 sheet items", [](Details& d) { d.contactSheet.assign(25, Uuid::random()); }, false},
        {"80-emoji camera", [&](Details& d) { d.cameras = named(repeated(kThumbsUp, 80)); }, true},
        {"81-emoji camera", [&](Details& d) { d.cameras = named(repeated(kThumbsUp, 81)); }, false},
        {"80 accented letters", [&](Details& d) { d.referencedPlaces = named(repeated("e\xCC\x81", 80)); }, true},
        {"empty camera name", [&](Details& d) { d.cameras = named(""); }, false},
        {"negative camera count", [](Details& d) { d.cameras = {NamedCount("X", -1)}; }, false},
        {"empty writtenBy", [](Details& d) { d.writtenBy = ""; }, true},
        {"80-emoji writtenBy", [&](Details& d) { d.writtenBy = repeated(kThumbsUp, 80); }, true},
        {"81-emoji writtenBy", [&](Details& d) { d.writtenBy = repeated(kThumbsUp, 81); }, false},
        {"earliest after latest", [](Details& d) { d.earliestCapture = Date{10}, d.latestCapture = Date{5}; }, true},
        {"negative people", [](Details& d) { d.peopleNamed = -1; }, false}};
    for (const auto& [what, change, valid] : cases) {
        Details d = fullDetails();
        change(d);
        EXPECT_EQ(withDetails(d).isValid(), valid) << what;
    }

    // Every plain count must be at least 0.
    for (auto field :
         {&Details::photos,    &Details::videos,       &Details::livePhotos,        &Details::raws,        &Details::spherical,
          &Details::astro,     &Details::copiedInside, &Details::copiedInsideBytes, &Details::referenced,  &Details::inPhotos,
          &Details::albums,    &Details::smartAlbums,  &Details::projects,          &Details::keywords,    &Details::rated,
          &Details::fiveStars, &Details::flagged,      &Details::rejected,          &Details::unavailable, &Details::recentlyRemoved}) {
        Details d = fullDetails();
        d.*field = -1;
        EXPECT_FALSE(withDetails(d).isValid());
        d.*field = 0;
        EXPECT_TRUE(withDetails(d).isValid());
    }
}

class LibraryPreviewSummaryDecoding : public ::testing::Test {
protected:
    Json stored = Json::parse(withDetails(fullDetails()).encodeJSON());
    LibraryPreviewSummary decode() const { return LibraryPreviewSummary::decodeJSON(asBytes(stored.dump())); }
};

// The stored version is kept, and is valid only with details (2) or without (1); null stands for absent.
TEST_F(LibraryPreviewSummaryDecoding, VersionAndDetailsMustAgreeToBeValid) {
    const Json details = stored["details"];
    const std::tuple<int, Json, bool> cases[] = {{2, details, true},  {2, nullptr, false}, {1, nullptr, true},  {1, details, false},
                                                 {0, nullptr, false}, {3, details, false}, {-2, nullptr, false}};
    for (const auto& [version, block, valid] : cases) {
        stored["formatVersion"] = version, stored["details"] = block;
        EXPECT_EQ(decode().isValid(), valid) << version << block;
        EXPECT_EQ(decode().formatVersion(), version);
    }
}

// Left out or null, a required key fails the decoding; an optional one reads as absent, and is
// left out when written again.
TEST_F(LibraryPreviewSummaryDecoding, EveryRequiredKeyMustBePresent) {
    const std::set<std::string> optional{"details", "peopleNamed", "earliestCapture", "latestCapture"};
    auto expectEachKeyChecked = [&](const Json::json_pointer& object, std::size_t keys) {
        std::vector<std::string> names;
        for (const auto& item : stored[object].items()) names.push_back(item.key());
        ASSERT_EQ(names.size(), keys);
        for (const std::string& key : names)
            for (bool null : {false, true}) {
                const Json saved = stored;
                null ? (void)(stored[object][key] = nullptr) : (void)stored[object].erase(key);
                if (optional.contains(key)) EXPECT_FALSE(Json::parse(decode().encodeJSON()).contains(object / key)) << key;
                else EXPECT_THROW(decode(), DecodingError) << key << (null ? " null" : " left out");
                stored = saved;
            }
    };
    expectEachKeyChecked(Json::json_pointer(""), 7);
    expectEachKeyChecked(Json::json_pointer("/details"), 28);
    stored["details"]["cameras"][0].erase("name");
    EXPECT_THROW(decode(), DecodingError);
}

TEST_F(LibraryPreviewSummaryDecoding, ValuesOfTheWrongTypeOrRangeFail) {
    // A null in place of any required value is EveryRequiredKeyMustBePresent's business.
    const std::pair<const char*, Json> cases[] = {{"/captureCount", std::uint64_t{9'223'372'036'854'775'808u}},
                                                  {"/catalogRevision", 1.5},
                                                  {"/versionCount", "5"},
                                                  {"/updatedAt", "726000000"},
                                                  {"/libraryID", "6B1F2E3D-4C5B-4A69-8877-66554433221"},
                                                  {"/libraryID", 5},
                                                  {"/details/copiedInsideBytes", 1e19},
                                                  {"/details/peopleNamed", std::uint64_t{18'446'744'073'709'551'615u}},
                                                  {"/details/hasUnfinishedImport", 1},
                                                  {"/details/writtenBy", 5},
                                                  {"/details/cameras", Json::object()},
                                                  {"/details/cameras/0/count", 2.5},
                                                  {"/details/contactSheet/0", "not a uuid"},
                                                  {"/details", Json::array()}};
    for (const auto& [pointer, value] : cases) {
        Json saved = stored;
        stored[Json::json_pointer(pointer)] = value;
        EXPECT_THROW(decode(), DecodingError) << pointer;
        stored = saved;
    }
}

// Extra keys, lower-case identifiers, whole dates, and every number as a float, which another
// writer may put: python3 writes "1234.0" and "1e+18".
TEST_F(LibraryPreviewSummaryDecoding, ReadersAcceptWhatWritersDoNotProduce) {
    stored["details"]["copiedInsideBytes"] = 1'000'000'000'000'000'000;
    const std::string floats = oakenmere::testing::python(
        "import json, sys\n"
        "def floats(v):\n"
        "    if isinstance(v, dict): return {k: floats(x) for k, x in v.items()}\n"
        "    if isinstance(v, list): return [floats(x) for x in v]\n"
        "    return float(v) if type(v) is int else v\n"
        "print(json.dumps(floats(json.loads(sys.argv[1])), sort_keys=True))",
        {stored.dump()});
    EXPECT_EQ(LibraryPreviewSummary::decodeJSON(asBytes(floats)), decode());

    stored["comment"] = "from a newer version";
    stored["details"]["sharedAlbums"] = 3;
    stored["details"]["cameras"][0]["model"] = "X100V";
    stored["libraryID"] = "6b1f2e3d-4c5b-4a69-8877-665544332211";
    stored["updatedAt"] = -5;
    LibraryPreviewSummary summary = decode();
    EXPECT_EQ(summary.libraryID(), kLibrary);
    EXPECT_EQ(summary.updatedAt(), Date{-5});
    EXPECT_EQ(summary.details()->cameras, fullDetails().cameras);

    for (std::string_view bad : {"", "[]", "null", "{}", "{\"captureCount\":1"})
        EXPECT_THROW(LibraryPreviewSummary::decodeJSON(asBytes(bad)), DecodingError) << bad;
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
