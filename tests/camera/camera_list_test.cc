#include "camera/camera_list.h"

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace oakenmere::camera {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;

// A mount table in the kernel's own format: only the mount holding "DCIM" is a card.
TEST(CameraList, AMountHoldingDCIMIsAMemoryCard) {
    TempDir dir;
    const fs::path card = dir.makeFolder("media/EOS_DIGITAL"), other = dir.makeFolder("media/BACKUP");
    dir.makeFolder("media/EOS_DIGITAL/DCIM/100CANON");
    dir.writeFile("media/BACKUP/DCIM", "a file, not a folder");
    const fs::path table = dir.writeFile("mountinfo",
                                         "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                         "40 22 8:17 / " +
                                             card.string() +
                                             " rw,nosuid - vfat /dev/sdb1 rw\n"
                                             "41 22 8:33 / " +
                                             other.string() + " rw - exfat /dev/sdc1 rw\n");
    EXPECT_EQ(memoryCardsIn(table), (std::vector<DetectedCamera>{{kDirectoryBrowse, "disk:" + card.string(), "EOS_DIGITAL"}}));
    EXPECT_TRUE(memoryCardsIn(dir / "no such table").empty());
}

// Whatever this machine has connected, the program answers with a list, never an error. The
// leak check is off for it: libgphoto2's drivers keep what they allocate when loaded, and are
// unloaded before a leak report could name them.
TEST(CameraList, TheProgramListsWhatItFinds) {
    const Outcome listed = runOakenmere({"camera", "list", "--json"}, {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"});
    EXPECT_EQ(listed.status, 0) << listed.errors;
    EXPECT_TRUE(listed.output.starts_with("[")) << listed.output;
}

}  // namespace
}  // namespace oakenmere::camera
