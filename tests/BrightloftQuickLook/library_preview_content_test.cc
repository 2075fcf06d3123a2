#include "BrightloftQuickLook/library_preview_content.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>

#include "BrightloftQuickLook/localization.h"
#include "preview_fixtures.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace oakenmere::BrightloftQuickLook {
namespace {

using namespace fixtures;
using Row = LibraryPreviewContent::Row;
using Rows = std::vector<Row>;
using oakenmere::platform::LocaleFormat;

// T: when the counts were taken, in the formatter's own spacing.
std::string T() { return enUS().abbreviatedDateShortTime(kUpdatedAt); }

Date utc(double unixSeconds) { return Date::fromUnixSeconds(unixSeconds); }

TEST(LibraryPreviewContentTest, CountsLineCountsItemsAndEditedCopies) {
    const struct {
        std::int64_t captures, versions;
        const char* counts;
    } cases[] = {
        // clang-format off
        {0, 0, "0 items"}, {1, 1, "1 item"}, {1, 2, "1 item \u00B7 1 edited copy"}, {0, 2, "0 items \u00B7 2 edited copies"},
        {1284, 1284, "1,284 items"}, {1284, 3000, "1,284 items \u00B7 1,716 edited copies"},
        // clang-format on
    };
    for (const auto& c : cases)
        for (const auto& details : {std::optional<Details>(), std::optional<Details>(Details())})
            EXPECT_EQ(contentOf(previewOf(details, std::nullopt, c.captures, c.versions)).counts(), c.counts)
                << c.captures << "/" << c.versions;
}

// Without a summary the page names the kind of document; a summary without details says how to
// see more; details say who took the counts, if known. Rows, notes and picture all need details.
TEST(LibraryPreviewContentTest, FreshnessSaysWhenCountsWereTaken) {
    ASSERT_TRUE(T().starts_with("Nov 30, 2025")) << T();
    const std::string refresh = "Open this library in Oakenmere to refresh its summary.", updated = "Counts last updated " + T();
    Details writer;
    writer.writtenBy = "Oakenmere 2.1 on Studio";
    const std::pair<std::optional<LibraryPreview>, std::string> cases[] = {
        {std::nullopt, refresh},
        {LibraryPreview{"Holiday", std::nullopt, contactSheetJpeg()}, refresh},
        // Without details, even a contact sheet that decodes is not shown.
        {previewOf(std::nullopt, contactSheetJpeg()), updated + ". Open it in Oakenmere to see more here."},
        {previewOf(Details()), updated + "."},
        {previewOf(writer), updated + ", by Oakenmere 2.1 on Studio."}};
    for (const auto& [preview, freshness] : cases) {
        LibraryPreviewContent content = contentOf(preview, "Given Name");
        EXPECT_EQ(content.name(), "Given Name");
        EXPECT_EQ(content.counts() == "Oakenmere Library", freshness == refresh) << content.counts();
        EXPECT_EQ(content.freshness(), freshness);
        EXPECT_TRUE(content.rows().empty() && content.attention().empty() && !content.contactSheet()) << freshness;
    }
}

TEST(LibraryPreviewContentTest, EachRowShowsOnlyThePartsThatArePresent) {
    using Change = std::function<void(Details&)>;
    const struct {
        const char* what;
        Change change;
        Rows rows;
    } cases[] = {
        // clang-format off
        {"RAW without photos", [](Details& d) { d.raws = 5, d.livePhotos = 2; }, {}},
        {"RAW and Live", [](Details& d) { d.photos = 1, d.raws = 2, d.livePhotos = 1; }, {{"Holds", "1 photo (2 RAW, 1 Live)"}}},
        {"Live only", [](Details& d) { d.photos = 2, d.livePhotos = 1; }, {{"Holds", "2 photos (1 Live)"}}},
        {"360 and astro", [](Details& d) { d.videos = 2, d.spherical = 4, d.astro = 2; },
         {{"Holds", "2 videos \u00B7 4 360\u00B0 \u00B7 2 astro frames"}}},
        {"taken on one day", [](Details& d) { d.earliestCapture = utc(1'709'544'600), d.latestCapture = utc(1'709'590'200); },
         {{"Taken", "Mar 4, 2024"}}},
        {"earliest only", [](Details& d) { d.earliestCapture = utc(1'709'544'600); }, {}},
        {"latest only", [](Details& d) { d.latestCapture = utc(1'709'544'600); }, {}},
        {"cameras", [](Details& d) { d.cameras = {{"X100V", 1284}, {"iPhone 15 Pro", 3}}; },
         {{"Cameras", "X100V 1,284 \u00B7 iPhone 15 Pro 3"}}},
        {"originals everywhere",
         [](Details& d) {
             d.copiedInside = 120, d.copiedInsideBytes = 38'410'000'000, d.referenced = 5, d.inPhotos = 7;
             d.referencedPlaces = {{"Archive", 3}, {"Pictures", 2}};
         },
         {{"Originals", "120 copied inside (38.41 GB) \u00B7 5 left where they are (Archive 3, Pictures 2) \u00B7 7 in Photos"}}},
        {"referenced without places", [](Details& d) { d.referenced = 1; }, {{"Originals", "1 left where they are"}}},
        {"bytes without copies", [](Details& d) { d.copiedInsideBytes = 5000; }, {}},
        {"organised, singular", [](Details& d) { d.albums = 1, d.smartAlbums = 1, d.projects = 1, d.keywords = 1; },
         {{"Organised", "1 album \u00B7 1 smart album \u00B7 1 project \u00B7 1 keyword"}}},
        {"organised, plural", [](Details& d) { d.albums = 2, d.smartAlbums = 3, d.projects = 4, d.keywords = 1284; },
         {{"Organised", "2 albums \u00B7 3 smart albums \u00B7 4 projects \u00B7 1,284 keywords"}}},
        {"rated without five stars", [](Details& d) { d.rated = 4; }, {{"Rated", "4 rated (0 \u2605\u2605\u2605\u2605\u2605)"}}},
        {"one favourite", [](Details& d) { d.flagged = 1; }, {{"Rated", "1 favourite"}}},
        {"favourites and rejects", [](Details& d) { d.rated = 1284, d.fiveStars = 3, d.flagged = 2, d.rejected = 1; },
         {{"Rated", "1,284 rated (3 \u2605\u2605\u2605\u2605\u2605) \u00B7 2 favourites \u00B7 1 rejected"}}},
        {"five stars without ratings", [](Details& d) { d.fiveStars = 3; }, {}},
        {"nobody named", [](Details& d) { d.peopleNamed = 0; }, {}},
        {"one person", [](Details& d) { d.peopleNamed = 1; }, {{"People", "1 person named"}}},
        // Three photos with RAW and a video, taken over days, two people: every row, in order.
        {"every row, in order", [](Details& d) { d = fullDetails(); },
         {{"Holds", "3 photos (2 RAW) \u00B7 1 video"},
          {"Taken", "Mar 4, 2024 \u2013 Jul 9, 2025"},
          {"Cameras", "X100V 3"},
          {"Originals", "4 copied inside (12 MB)"},
          {"Organised", "1 album"},
          {"Rated", "2 rated (1 \u2605\u2605\u2605\u2605\u2605)"},
          {"People", "2 people named"}}},
        // clang-format on
    };
    for (const auto& c : cases) {
        Details details;
        c.change(details);
        EXPECT_EQ(contentOf(previewOf(details)).rows(), c.rows) << c.what;
    }
}

TEST(LibraryPreviewContentTest, AttentionSentencesComeInTheirOwnOrder) {
    const std::string offline = " originals are offline or missing: connect their disk, or use Check Library in Oakenmere.";
    const std::string unfinished = "An import is unfinished: Oakenmere can resume it.";
    Details offlineOnly, all;
    offlineOnly.unavailable = 1284;
    all.unavailable = 2, all.hasUnfinishedImport = true, all.recentlyRemoved = 3;
    EXPECT_EQ(contentOf(previewOf(offlineOnly)).attention(), std::vector<std::string>{"1,284" + offline});
    const LibraryPreviewContent content = contentOf(previewOf(all));
    EXPECT_EQ(content.attention(), (std::vector<std::string>{"2" + offline, unfinished, "3 in Recently Removed."}));
    EXPECT_TRUE(content.rows().empty());  // notes are not facts
}

TEST(LibraryPreviewContentTest, OnlyADecodableContactSheetBecomesAnImage) {
    const Bytes jpeg = contactSheetJpeg(12, 8);
    LibraryPreviewContent shown = contentOf(previewOf(fullDetails(), jpeg));
    ASSERT_TRUE(shown.contactSheet());
    EXPECT_EQ(shown.contactSheet()->jpeg, jpeg);
    EXPECT_EQ(shown.contactSheet()->pixels.width, 12);
    EXPECT_EQ(shown.contactSheet()->pixels.height, 8);

    Bytes truncated(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2));
    for (const Bytes& rejected : {brokenJpeg(), truncated, Bytes{}})
        EXPECT_FALSE(contentOf(previewOf(fullDetails(), rejected)).contactSheet()) << rejected.size();
}

// A made-up language ("zz", compiled from po/testing/zz.po beside the test executable) that
// reorders the values: each sentence is one message, not pieces around the numbers.
TEST(LibraryPreviewContentTest, TranslationsPlaceTheValuesOfASentence) {
    using namespace oakenmere::testing;
    TempDir dir;
    Details d;
    d.photos = 3, d.raws = 2, d.livePhotos = 1, d.copiedInside = 4, d.copiedInsideBytes = 12'000'000, d.referenced = 5;
    d.referencedPlaces = {{"Archive", 3}}, d.inPhotos = 7, d.rated = 1284, d.fiveStars = 3, d.flagged = 2, d.rejected = 1;
    d.unavailable = 2, d.recentlyRemoved = 3, d.writtenBy = "Studio";
    // The locale is the process's, so a child changes it.
    const pid_t child = forkRunning([&] {
        ::setenv("LC_ALL", "C.UTF-8", 1);
        ::setenv("LANGUAGE", "zz", 1);
        bindTranslations(fs::read_symlink("/proc/self/exe").parent_path() / "locale");
        LibraryPreviewContent content = contentOf(previewOf(d));
        std::string page;
        for (const Row& row : content.rows()) page += row.label + ": " + row.value + "\n";
        for (const std::string& sentence : content.attention()) page += sentence + "\n";
        dir.writeFile("page.txt", page + content.freshness());
    });
    ASSERT_TRUE(exitedWith(waitFor(child), 0));
    EXPECT_EQ(dir.readFile("page.txt"),
              "HOLDS: [RAW\u00D72, 1 Live] 3 PHOTOS\n"
              "ORIGINALS: (12 MB) INSIDE: 4 \u00B7 (Archive 3) OUTSIDE: 5 \u00B7 IN PHOTOS: 7\n"
              "RATED: \u2605\u2605\u2605\u2605\u2605 3 OF 1,284 RATED \u00B7 FAVOURITES: 2 \u00B7 REJECTED: 1\n"
              "OFFLINE: 2\n"
              "REMOVED: 3\n"
              "Studio COUNTED AT " +
                  T() + ".");
}

// LANG set to nothing chooses nothing, as if unset: not ICU's root locale ("2019 M03 14"). A
// fresh process, since ICU keeps the first default locale it works out.
TEST(LibraryPreviewContentTest, AnEmptyLangReadsLikeAnUnsetOne) {
    Details d;
    d.earliestCapture = d.latestCapture = utc(1'552'560'000);  // 2019-03-14 10:40 UTC
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            for (const char* name : {"LC_ALL", "LC_MESSAGES"}) ::unsetenv(name);
            for (bool empty : {true, false}) {
                empty ? ::setenv("LANG", "", 1) : ::unsetenv("LANG");
                std::string taken = LibraryPreviewContent(previewOf(d), "", LocaleFormat("", "UTC")).rows().at(0).value;
                std::fprintf(stderr, "LANG %s: %s\n", empty ? "empty" : "unset", taken.c_str());
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "LANG empty: Mar 14, 2019\nLANG unset: Mar 14, 2019\n");
}

}  // namespace
}  // namespace oakenmere::BrightloftQuickLook
