#include "platform/lock_table.h"

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "platform/file_lock.h"
#include "support/temp_dir.h"

namespace oakenmere::platform {
namespace {

bool heldOn(const std::filesystem::path& path) {
    auto status = lstatPath(path);
    return status && hasFlockHolder({status->device}, status->inode);
}

TEST(LockTable, SeesAFlockHolderWithoutTakingTheLock) {
    testing::TempDir dir;
    const auto lockFile = dir.path() / "lock", other = dir.writeFile("other", "x");
    auto lock = lockFileExclusively(lockFile);
    ASSERT_TRUE(lock);
    EXPECT_TRUE(heldOn(lockFile));
    EXPECT_FALSE(heldOn(other));
    // Looking took nothing: the lock is still ours alone, and gone once released.
    EXPECT_FALSE(lockFileExclusively(lockFile));
    lock.reset();
    EXPECT_FALSE(heldOn(lockFile));
}

}  // namespace
}  // namespace oakenmere::platform
