// A copy onto a tmpfs too small for it. Needs root to mount; skipped elsewhere.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "copying/copying_test_support.h"
#include "support/failure.h"

namespace oakenmere::LibraryBundle {
namespace {

using namespace oakenmere::testing;

TEST(FullDisk, TheErrorNamesTheDestinationAndNothingIsLeft) {
    TempDir dir;
    const auto source = dir.writeFile("IMG_0001.CR3", patternBytes(2 << 20, 9)), volume = dir.makeFolder("volume");
    if (::geteuid() != 0 || ::mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=512k") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::unique_ptr<const char, int (*)(const char*)> unmount(volume.c_str(), ::umount);
    const auto destination = dir.makeFolder("volume/Masters") / "IMG_0001.CR3";
    std::string message;
    try {
        VerifiedFileCopy().copyMeasuring(source, destination, std::nullopt);
    } catch (const std::system_error& error) {
        message = failureOf(std::current_exception()) + ": " + error.what();
    }
    EXPECT_EQ(message, errnoName(ENOSPC) + ": write \u201C" + destination.string() + "\u201D: No space left on device");
    EXPECT_EQ(namesIn(destination.parent_path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
