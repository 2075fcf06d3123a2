#include "platform/volume.h"

#include <cerrno>
#include <gtest/gtest.h>

#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::platform {
namespace {

constexpr unsigned long kFuseMagic = 0x65735546;

TEST(Volume, NetworkFilesystemsByMagicOrTypeName) {
    const struct {
        const char* type;
        unsigned long magic;
        bool network;
    } cases[] = {{"", 0x6969, true},      // NFS, whatever the mount table says
                 {"", 0xFF534D42, true},  // CIFS
                 {"nfs4", 0, true},       // known by its name alone
                 {"fuse.sshfs", kFuseMagic, true},
                 {"fuse.ntfs-3g", kFuseMagic, false},
                 {"ext4", 0xEF53, false},
                 {"", 0, false}};
    for (const auto& c : cases) EXPECT_EQ(isNetworkFilesystem(c.type, c.magic), c.network) << c.type << " " << std::hex << c.magic;
}

TEST(Volume, ATemporaryFolderIsLocal) {
    testing::TempDir dir;
    VolumeFacts facts = volumeFacts(dir.path());
    EXPECT_EQ(facts.isLocal, true);
    EXPECT_FALSE(facts.filesystemType.empty());
    EXPECT_FALSE(facts.mountPoint.empty());
    EXPECT_EQ(testing::failureOf([&] { volumeFacts(dir / "missing"); }), testing::errnoName(ENOENT));
}

}  // namespace
}  // namespace oakenmere::platform
