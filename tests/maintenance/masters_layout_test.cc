#include "LibraryBundle/maintenance/masters_layout.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

using namespace oakenmere::testing;
const platform::Uuid kId = *platform::Uuid::parse("1F2E3D4C-5B6A-4789-8ABC-DEF012345678");
const std::string kText = kId.string();

TEST(MastersLayout, BuildsAndRecognisesCapturePaths) {
    EXPECT_EQ(MastersLayout::relativePath(kId, "IMG_1.JPG"), "Masters/1F/" + kText + "/IMG_1.JPG");
    EXPECT_EQ(MastersLayout::folder(kId, MastersLayout::sidecars), "Masters/Sidecars/1F/" + kText);
    EXPECT_TRUE(MastersLayout::isPath("Masters/" + kText + "/IMG_1.JPG", kId, "IMG_1.JPG"));
    EXPECT_TRUE(MastersLayout::isFolder("Masters/1F/" + kText, kId));
    EXPECT_FALSE(MastersLayout::isFolder("Masters/1f/" + kText, kId));
    const std::string lower = "1f2e3d4c-5b6a-4789-8abc-def012345678";
    // clang-format off
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"Masters/1F/" + kText + "/a.jpg", "Masters/1F/" + kText},
        {"Masters/" + kText + "/a.jpg", "Masters/" + kText},
        {"Masters/Archive/1F/" + kText + "/a.jpg", "Masters/Archive/1F/" + kText},
        {"Masters/Sidecars/" + kText + "/a.xmp", "Masters/Sidecars/" + kText},
        {"Masters/1f/" + lower + "/a.jpg", "Masters/1f/" + lower},
        {"Masters/1F/" + lower + "/a.jpg", std::nullopt},
        {"Masters/2F/" + kText + "/a.jpg", std::nullopt},
        {"Masters/1F/" + kText + "/sub/a.jpg", std::nullopt},
        {"Masters/1F/" + kText + "/../a.jpg", std::nullopt},
        {"Masters//" + kText + "/a.jpg", std::nullopt},
        {"Edits/1F/" + kText + "/a.jpg", std::nullopt},
        {"Masters/a.jpg", std::nullopt},
    };
    // clang-format on
    for (const auto& [path, folder] : cases) EXPECT_EQ(MastersLayout::captureFolder(path), folder) << path;
}

TEST(MastersLayout, RemovesOnlyAnEmptyCaptureFolder) {
    TempDir dir;
    const fs::path library = dir.makeFolder("Trip.oakenmere");
    const std::string file = MastersLayout::relativePath(kId, "a.jpg");
    dir.writeFile(library / file, "a");
    EXPECT_FALSE(MastersLayout::removeEmptyCaptureFolder(file, library));
    fs::remove(library / file);
    EXPECT_TRUE(MastersLayout::removeEmptyCaptureFolder(file, library));
    EXPECT_TRUE(fs::exists(library / "Masters/1F"));
    // An empty capture folder reached through a link is another folder's, and stays.
    TempDir other;
    other.makeFolder(kText);
    fs::remove(library / "Masters/1F");
    dir.makeSymlink(other.path(), library / "Masters/1F");
    EXPECT_FALSE(MastersLayout::removeEmptyCaptureFolder(file, library));
    EXPECT_TRUE(fs::exists(other / kText));
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
