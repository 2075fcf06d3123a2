#include "LibraryBundle/maintenance/original_relocation.h"

#include <gtest/gtest.h>

#include "LibraryBundle/core/errors.h"
#include "platform/cancellation.h"
#include "platform/sha256.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

using namespace oakenmere::testing;

std::string sha(std::string_view text) { return platform::Sha256::hexOf(platform::asBytes(text)); }

TEST(RelocationFolderMapping, KeepsTheLayoutBelowTheChosenFolder) {
    const RelocationFolderMapping mapping("/Photos/2019/Trip/a.jpg", "/Volumes/Disk/Archive/2019/Trip/a.jpg", "/Volumes/Disk/Archive/");
    EXPECT_EQ(mapping.priorRoot(), "/Photos");
    EXPECT_EQ(mapping.candidate("/Photos/2020/./b.jpg"), "/Volumes/Disk/Archive/2020/b.jpg");
    EXPECT_EQ(mapping.candidate("/Photos/2019/Trip/a.jpg"), "/Volumes/Disk/Archive/2019/Trip/a.jpg");
    EXPECT_EQ(mapping.candidate("/Photos"), std::nullopt);
    EXPECT_EQ(mapping.candidate("/Other/c.jpg"), std::nullopt);
    EXPECT_EQ(RelocationFolderMapping("/Photos/2019/Trip/a.jpg", "/Disk/2019/Trip/a.jpg", "/Disk/2019/Trip").priorRoot(),
              "/Photos/2019/Trip");

    const std::pair<const char*, const char*> inconsistent[] = {
        {"/Photos/2019/Trip/a.jpg", "/Volumes/Disk/Other"},                    // not an ancestor
        {"/Photos/2019/Trip/a.jpg", "/Volumes/Disk/Archive/2019/Trip/a.jpg"},  // the located file itself
        {"/Photos/2018/Trip/a.jpg", "/Volumes/Disk/Archive"},                  // subfolders that differ
        {"/Trip/a.jpg", "/Volumes/Disk/Archive"},                              // deeper than the original
    };
    for (const auto& [original, root] : inconsistent)
        EXPECT_THROW(RelocationFolderMapping(original, "/Volumes/Disk/Archive/2019/Trip/a.jpg", root), RelocationMappingError) << root;
}

TEST(OriginalRelocationPlanner, MatchesOnlyFilesProvenInsideTheChosenFolder) {
    TempDir dir;
    dir.writeFile("new/a.jpg", "A");
    dir.writeFile("new/sub/b.jpg", "B");
    dir.writeFile("new/c.jpg", "not C");
    dir.writeFile("outside/d.jpg", "D");
    dir.makeSymlink(dir / "outside/d.jpg", "new/d.jpg");
    const RelocationFolderMapping mapping(dir / "old/a.jpg", dir / "new/a.jpg", dir / "new");
    const auto id = [](int n) { return platform::Uuid(std::array<std::uint8_t, 16>{static_cast<std::uint8_t>(n)}); };
    std::string upper = sha("A");
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::vector<RelocationOriginal> originals{
        {id(1), dir / "old/a.jpg", upper},        {id(1), dir / "old/c.jpg", sha("C")},  // listed twice: planned once
        {id(2), dir / "old/sub/b.jpg", sha("B")}, {id(3), dir / "old/c.jpg", sha("C")},  {id(4), dir / "old/d.jpg", sha("D")},
        {id(5), dir / "old/gone.jpg", sha("E")},  {id(6), "/elsewhere/f.jpg", sha("F")}, {id(7), dir / "old/sub/b.jpg", sha("B")},
    };
    OriginalRelocationPlanner planner;
    const RelocationPlan plan = planner.plan(originals, mapping);
    const std::vector<VerifiedRelocation> matches{
        {id(1), dir / "new/a.jpg", sha("A")}, {id(2), dir / "new/sub/b.jpg", sha("B")}, {id(7), dir / "new/sub/b.jpg", sha("B")}};
    EXPECT_EQ(plan.matches, matches);
    EXPECT_EQ(plan.mismatches, 1);
    EXPECT_EQ(plan.unavailable, 2);  // the link leading outside, the missing file

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(planner.plan(originals, mapping, stop.get_token()), platform::CancellationError);
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
