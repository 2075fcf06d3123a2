#include "platform/volume.h"

#include <algorithm>
#include <cstdint>

#include <array>
#include <cstdlib>
#include <libmount/libmount.h>
#include <memory>
#include <sys/vfs.h>

#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"

namespace oakenmere::platform {

namespace {

constexpr std::array<unsigned long, 14> kNetworkMagics{
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x73757245,  // Coda
    0x5346414F,  // AFS (OpenAFS)
    0x6B414653,  // AFS (kAFS)
    0x564C,      // NCP
    0x00C36400,  // Ceph
    0x01021997,  // 9P
    0x0BD00BD0,  // Lustre
    0x47504653,  // GPFS
    0x013111A8,  // IBRIX
    0x7461636F,  // OCFS2
};

constexpr std::array<std::string_view, 12> kNetworkFuse{"fuse.sshfs",     "fuse.rclone",     "fuse.s3fs",     "fuse.curlftpfs",
                                                        "fuse.glusterfs", "fuse.gvfsd-fuse", "fuse.smbnetfs", "fuse.ceph-fuse",
                                                        "fuse.davfs2",    "fuse.gcsfuse",    "fuse.goofys",   "fuse.juicefs"};

struct TableFree {
    void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};

std::unique_ptr<libmnt_table, TableFree> mountTable() {
    return std::unique_ptr<libmnt_table, TableFree>(mnt_new_table_from_file("/proc/self/mountinfo"));
}

// The type of the file system mounted at `mountPoint`, newest mount first.
std::string typeMountedAt(const std::string& mountPoint) {
    auto table = mountTable();
    if (!table) return {};
    libmnt_fs* fs = mnt_table_find_target(table.get(), mountPoint.c_str(), MNT_ITER_BACKWARD);
    const char* type = fs ? mnt_fs_get_fstype(fs) : nullptr;
    return type ? type : "";
}

}  // namespace

bool isNetworkFilesystem(std::string_view type, unsigned long magic) {
    for (unsigned long m : kNetworkMagics)
        if (m == magic) return true;
    for (auto name : kNetworkFuse)
        if (name == type) return true;
    return !type.empty() && mnt_fstype_is_netfs(std::string(type).c_str()) == 1;
}

std::optional<bool> supportsExclusiveRename(std::string_view type, unsigned long magic) {
    static constexpr std::array<std::string_view, 10> kSupported{"ext2",  "ext3", "ext4",  "xfs",  "btrfs",
                                                                 "tmpfs", "f2fs", "shmem", "vfat", "bcachefs"};
    for (auto name : kSupported)
        if (name == type) return true;
    if (isNetworkFilesystem(type, magic)) return false;
    return std::nullopt;
}

std::optional<std::uint64_t> fileSystemDevice(const std::filesystem::path& path) {
    auto table = mountTable();
    const auto real = realPath(path);
    if (!table || !real) return std::nullopt;
    // By the path's own components, not by st_dev, which changes inside a btrfs subvolume.
    libmnt_fs* fs = mnt_table_find_mountpoint(table.get(), real->c_str(), MNT_ITER_BACKWARD);
    if (!fs) return std::nullopt;
    return static_cast<std::uint64_t>(mnt_fs_get_devno(fs));
}

std::optional<std::int64_t> availableBytes(const std::filesystem::path& path) noexcept {
    struct statfs fs {};
    if (fileSystem().statVolume(path.c_str(), fs) != 0) return std::nullopt;
    const auto available = static_cast<unsigned __int128>(fs.f_bavail) * static_cast<unsigned __int128>(fs.f_bsize);
    return static_cast<std::int64_t>(std::min<unsigned __int128>(available, INT64_MAX));
}

VolumeFacts volumeFacts(const std::filesystem::path& path) {
    struct statfs fs {};
    if (fileSystem().statVolume(path.c_str(), fs) != 0) throwLastPosixError("statfs " + inQuotes(path.string()));
    VolumeFacts facts;
    if (char* mountPoint = mnt_get_mountpoint(path.c_str())) {
        facts.mountPoint = mountPoint;
        std::free(mountPoint);
        facts.filesystemType = typeMountedAt(facts.mountPoint);
    }
    auto magic = static_cast<unsigned long>(fs.f_type);
    facts.isLocal = !isNetworkFilesystem(facts.filesystemType, magic);
    facts.supportsExclusiveRename = supportsExclusiveRename(facts.filesystemType, magic);
    std::filesystem::path mountPoint(facts.mountPoint);
    if (!facts.mountPoint.empty() && mountPoint != "/" && mountPoint.has_filename()) facts.name = mountPoint.filename().string();
    return facts;
}

}  // namespace oakenmere::platform
