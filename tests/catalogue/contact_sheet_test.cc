// Contact sheets made from pictures on disk, broken ones among them, then decoded again.
#include "catalogue/contact_sheet.h"

#include <array>
#include <gtest/gtest.h>
#include <map>
#include <set>

#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "catalogue/hand_made_exif.h"
#include "platform/jpeg.h"
#include "support/jpeg_pictures.h"
#include "support/temp_dir.h"

namespace oakenmere::catalogue {
namespace {

using namespace oakenmere::testing;
using platform::Bytes;
using platform::RgbImage;

using Rgb = std::array<int, 3>;
constexpr Rgb kRed{220, 30, 30}, kBlue{30, 30, 220}, kDark{40, 40, 40}, kLight{230, 230, 230};

// A picture twice as wide as high, its left half `left` and right half `right`, stored with
// `orientation` in its Exif.
Bytes halves(Rgb left, Rgb right, int orientation = 1) {
    RgbImage image(128, 64);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            for (int c = 0; c < 3; ++c) image.at(x, y)[c] = static_cast<std::uint8_t>((x < 64 ? left : right)[c]);
    return withExif(platform::encodeJpeg(image, 90), {shortField(0x0112, static_cast<std::uint16_t>(orientation))});
}

using Files = std::vector<std::pair<std::string, Bytes>>;

// Each file under its name; one without bytes is left missing.
std::vector<ContactSheetPicture> place(const TempDir& dir, const Files& files) {
    std::vector<ContactSheetPicture> pictures;
    for (const auto& [name, bytes] : files)
        pictures.push_back({platform::Uuid::random(), bytes.empty() ? dir / name : dir.writeFile(name, bytes)});
    return pictures;
}

TEST(ContactSheet, ShowsTheFirstPicturesInOrderLeavingOutWhatCannotBeShown) {
    auto thirty = [](std::map<int, std::pair<std::string, Bytes>> replaced) {
        Files files;
        for (int i = 0; i < 30; ++i) files.push_back({"p" + std::to_string(i) + ".jpg", jpegPicture(300 + i, 200, i % 2 ? 0 : -1)});
        for (auto& [i, file] : replaced) files[i] = file;
        return files;
    };
    auto first24Except = [](std::set<int> left) {
        std::vector<int> shown;
        for (int i = 0; i < 24; ++i)
            if (!left.contains(i)) shown.push_back(i);
        return shown;
    };
    Bytes cut = jpegPicture(300, 200, 0);
    cut.resize(400);
    struct Case {
        const char* name;
        Files files;
        std::vector<int> shown;
    } cases[] = {
        {"thirty pictures, a RAW among them: the first 24",
         thirty({{7, {"raw.dng", rawWithPreviews(jpegPicture(200, 150, 0), jpegPicture(40, 30, 0), {})}}}), first24Except({})},
        {"broken ones are left out, not replaced by later ones",
         thirty({{2, {"garbage.jpg", platform::toBytes("not a picture")}},
                 {5, {"garbage.cr2", Bytes(5000, 0)}},
                 {9, {"missing.jpg", {}}},
                 {23, {"cut.jpg", cut}}}),
         first24Except({2, 5, 9, 23})},
        {"nothing to show", {{"garbage.jpg", platform::toBytes("not a picture")}, {"missing.jpg", {}}}, {}},
        {"no pictures", {}, {}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto pictures = place(dir, c.files);
        auto sheet = makeContactSheet(pictures);
        ASSERT_EQ(sheet.has_value(), !c.shown.empty()) << c.name;
        if (!sheet) continue;
        std::vector<platform::Uuid> ids;
        for (int i : c.shown) ids.push_back(pictures[i].id);
        EXPECT_EQ(sheet->ids, ids) << c.name;
        EXPECT_LE(sheet->jpeg.size(), LibraryBundle::LibraryPreviewSummaryStore::contactSheetByteLimit) << c.name;
        EXPECT_TRUE(platform::decodeJpeg(sheet->jpeg)) << c.name;
    }
}

TEST(ContactSheet, TilesFollowTheIdsAndStandUpright) {
    struct Probe {
        double x, y;  // as fractions of the sheet's width and height
        Rgb colour;
    };
    struct Case {
        const char* name;
        Files files;
        std::vector<Probe> probes;
    } cases[] = {
        {"in order past a broken picture",
         {{"a.jpg", halves(kDark, kDark)}, {"b.jpg", platform::toBytes("broken")}, {"c.jpg", halves(kLight, kLight)}},
         {{0.25, 0.5, kDark}, {0.75, 0.5, kLight}}},
        {"upright", {{"a.jpg", halves(kRed, kBlue, 1)}}, {{0.3, 0.5, kRed}, {0.7, 0.5, kBlue}}},
        {"turned half round", {{"a.jpg", halves(kRed, kBlue, 3)}}, {{0.3, 0.5, kBlue}, {0.7, 0.5, kRed}}},
        {"turned clockwise to stand", {{"a.jpg", halves(kRed, kBlue, 6)}}, {{0.5, 0.3, kRed}, {0.5, 0.7, kBlue}}},
        {"turned anticlockwise to stand", {{"a.jpg", halves(kRed, kBlue, 8)}}, {{0.5, 0.3, kBlue}, {0.5, 0.7, kRed}}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto sheet = makeContactSheet(place(dir, c.files));
        ASSERT_TRUE(sheet) << c.name;
        auto image = platform::decodeJpeg(sheet->jpeg);
        ASSERT_TRUE(image) << c.name;
        for (const auto& probe : c.probes) {
            const std::uint8_t* pixel = image->at(int(probe.x * image->width), int(probe.y * image->height));
            for (int i = 0; i < 3; ++i) EXPECT_NEAR(pixel[i], probe.colour[i], 40) << c.name << " at " << probe.x << ", " << probe.y;
        }
    }
}

}  // namespace
}  // namespace oakenmere::catalogue
