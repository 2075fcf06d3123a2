#include "platform/atomic_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace oakenmere::platform {
namespace {

using testing::TempDir;

TEST(AtomicWrite, CreatesAndReplacesWithoutLeavingTemporaryFiles) {
    TempDir dir;
    UniqueFd folder = openDirectory(dir.path());
    writeFileAtomically(folder, "record.json", asBytes("first"), ".tmp-", ".part");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "record.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    writeFileAtomically(folder, "record.json", asBytes("second"), ".tmp-", ".part");
    writeFileAtomically(folder, "empty", {}, ".tmp-", ".part");
    EXPECT_EQ(dir.readFile("record.json"), "second");
    EXPECT_EQ(std::filesystem::file_size(dir / "empty"), 0u);
    EXPECT_EQ(listDirectory(dir.path()).size(), 2u);
}

}  // namespace
}  // namespace oakenmere::platform
