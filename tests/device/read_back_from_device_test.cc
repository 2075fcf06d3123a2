// The read-back must see what the storage device holds, not what the page cache remembers.
// A small ext4 file system on a loop device lets the test change a file's bytes on the
// "device" (its backing image) while the file's pages stay cached: a cached read still sees the
// old bytes, the read-back sees the new ones. Needs root and loop devices; skipped elsewhere.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "copying/copying_test_support.h"
#include "device/loop_mount.h"
#include "platform/file_io.h"
#include "support/failure.h"

using namespace oakenmere;

namespace fs = std::filesystem;
using namespace oakenmere::LibraryBundle;
using namespace oakenmere::testing;

namespace {

// Where the file's first byte lies on its device, from the file system's extent map.
std::int64_t physicalOffset(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    alignas(fiemap) char buffer[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
    auto* map = reinterpret_cast<fiemap*>(buffer);
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = 1;
    int rc = ::ioctl(fd, FS_IOC_FIEMAP, map);
    ::close(fd);
    if (rc != 0 || map->fm_mapped_extents < 1) return -1;
    return static_cast<std::int64_t>(map->fm_extents[0].fe_physical);
}

// Flips the first byte of `file` on the device by writing to the image behind the loop device.
void corruptOnDevice(const fs::path& image, const fs::path& file) {
    std::int64_t offset = physicalOffset(file);
    ASSERT_GE(offset, 0);
    int fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char byte = 0;
    ASSERT_EQ(::pread(fd, &byte, 1, offset), 1);
    byte = static_cast<char>(byte ^ 0xFF);
    ASSERT_EQ(::pwrite(fd, &byte, 1, offset), 1);
    ASSERT_EQ(::fsync(fd), 0);
    ::close(fd);
}

class LoopFileSystem : public LoopMount {
protected:
    void SetUp() override { mount("64M", "mkfs.ext4 -q -F \"$IMAGE\""); }
};

TEST_F(LoopFileSystem, ACopyDamagedOnTheDeviceIsNeverPublished) {
    fs::path source = root_ / "source.raw";
    const std::string bytes(3 << 20, 'b');
    platform::writeNewFile(platform::openDirectory(root_), source.filename().string(), platform::asBytes(bytes));
    fs::path destination = mountPoint_ / "Masters" / "source.raw";
    fs::create_directory(destination.parent_path());

    VerifiedFileCopy copier;
    copier.fault = [&](VerifiedFileCopy::Checkpoint point) {
        if (point != VerifiedFileCopy::Checkpoint::wroteCopy) return;
        for (const auto& name : namesStartingWith(destination.parent_path(), VerifiedFileCopy::temporaryPrefix))
            corruptOnDevice(image_, destination.parent_path() / name);
    };
    EXPECT_EQ(failureOf([&] { copier.copyMeasuring(source, destination, std::nullopt); }), "hashMismatch");
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_TRUE(fs::is_empty(destination.parent_path())) << "the temporary copy is removed";
}

}  // namespace
