// On btrfs, stat names a file's device by its subvolume while the kernel's lock table names the
// file system: a library held by another program must still be reported in use there.
#include <csignal>
#include <gtest/gtest.h>

#include "LibraryBundle/core/library_bundle_store.h"
#include "device/loop_mount.h"
#include "support/child_process.h"

using namespace oakenmere;

namespace fs = std::filesystem;
using namespace oakenmere::testing;

namespace {

class Btrfs : public LoopMount {
protected:
    void SetUp() override { mount("160M", "mkfs.btrfs -q -f \"$IMAGE\""); }
};

TEST_F(Btrfs, ALibraryHeldInASubvolumeIsSeenInUse) {
    ASSERT_EQ(run({"/usr/bin/btrfs", "-q", "subvolume", "create", (mountPoint_ / "Photos").string()}).status, 0);
    for (const fs::path& folder : {mountPoint_, mountPoint_ / "Photos"}) {
        SCOPED_TRACE(folder);
        const fs::path library = folder / "Held.oakenmere";
        LibraryBundle::LibraryBundleStore().create(library);
        ChildProcess holder({oakenmereProgram().string(), "open", "--hold", library.string()});
        ASSERT_TRUE(holder.waitForLine("Holding it open; press Ctrl-C to close it.")) << holder.output();
        EXPECT_TRUE(LibraryBundle::LibraryLock::isHeldElsewhere(library));
        ChildProcess info({oakenmereProgram().string(), "info", library.string()});
        info.finish();
        EXPECT_NE(info.output().find("In use          yes"), std::string::npos) << info.output();

        ::kill(holder.pid(), SIGKILL);
        holder.finish();
        EXPECT_FALSE(LibraryBundle::LibraryLock::isHeldElsewhere(library));
    }
}

}  // namespace
