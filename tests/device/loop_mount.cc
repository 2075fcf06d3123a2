#include "device/loop_mount.h"

#include <cstdlib>
#include <sys/mount.h>
#include <unistd.h>

namespace oakenmere::testing {

namespace fs = std::filesystem;

void LoopMount::mount(const std::string& size, const std::string& make) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a loop device";
    char pattern[] = "/var/tmp/loopmount-XXXXXX";  // a real disk, not tmpfs
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    image_ = root_ / "disk.img";
    mountPoint_ = root_ / "mnt";
    fs::create_directory(mountPoint_);
    const std::string command = "IMAGE='" + image_.string() + "'; truncate -s " + size + " \"$IMAGE\" && " + make +
                                " >/dev/null 2>&1 && mount -o loop \"$IMAGE\" '" + mountPoint_.string() + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "cannot make and mount: " << make;
    mounted_ = true;
}

void LoopMount::TearDown() {
    if (mounted_) ::umount2(mountPoint_.c_str(), MNT_DETACH);
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
}

}  // namespace oakenmere::testing
