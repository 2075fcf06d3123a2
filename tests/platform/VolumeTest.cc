#include "platform/volume.h"

#include <cerrno>
#include <gtest/gtest.h>

#include "platform/posix_error.h"
#include "support/TempDir.h"

namespace oakenmere::platform {
namespace {

constexpr unsigned long kFuseMagic = 0x65735546;

TEST(Volume, NetworkFilesystemsByMagicOrTypeName) {
    const struct {
        const char* type;
        unsigned long magic;
        bool network;
    } cases[] = {
        {"", 0x6969, true},             // NFS, whatever the mount table says
        {"nfs", 0x6969, true},
        {"", 0xFF534D42, true},         // CIFS
        {"cifs", 0xFF534D42, true},
        {"fuse.sshfs", kFuseMagic, true},
        {"fuse.rclone", kFuseMagic, true},
        {"nfs4", 0, true},              // known by its name alone
        {"ext4", 0xEF53, false},
        {"tmpfs", 0x01021994, false},
        {"fuse.ntfs-3g", kFuseMagic, false},
        {"", kFuseMagic, false},
        {"", 0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(isNetworkFilesystem(c.type, c.magic), c.network) << c.type << " " << std::hex << c.magic;
}

TEST(Volume, ATemporaryFolderIsLocal) {
    testing::TempDir dir;
    VolumeFacts facts = volumeFacts(dir.path());
    EXPECT_EQ(facts.isLocal, true);
    EXPECT_FALSE(facts.filesystemType.empty());
    EXPECT_FALSE(facts.mountPoint.empty());
    try {
        volumeFacts(dir / "missing");
        ADD_FAILURE() << "a missing path has no volume";
    } catch (const std::system_error& error) {
        EXPECT_TRUE(isPosixError(error, ENOENT)) << error.what();
    }
}

}  // namespace
}  // namespace oakenmere::platform
