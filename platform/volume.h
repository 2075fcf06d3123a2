#pragma once
// Facts about the volume (mounted file system) that holds a path, from statfs and the mount
// table.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace oakenmere::platform {

struct VolumeFacts {
    std::string filesystemType;   // as the mount table names it: "ext4", "nfs4", "fuse.sshfs"; may be empty
    std::string mountPoint;       // may be empty when the mount table does not say
    std::optional<bool> isLocal;  // nullopt when it cannot be told
    // Whether rename can refuse to replace (RENAME_NOREPLACE); nullopt when not known.
    std::optional<bool> supportsExclusiveRename;
    // The name a person knows the volume by: the last component of its mount point
    // ("/media/ana/CARD" gives "CARD"); absent for the root file system.
    std::optional<std::string> name;
};

// `path` must exist. Throws the POSIX error of statfs.
VolumeFacts volumeFacts(const std::filesystem::path& path);

// The device number the kernel files locks under for the file system holding `path` (which
// must exist), from the mount table: on btrfs it differs from stat's, which names the subvolume.
// nullopt when the table does not say.
std::optional<std::uint64_t> fileSystemDevice(const std::filesystem::path& path);
// The bytes an unprivileged writer can still put on the volume holding `path` (statfs's
// f_bavail); nullopt when statfs fails.
std::optional<std::int64_t> availableBytes(const std::filesystem::path& path) noexcept;

// Network file systems: NFS, SMB/CIFS, AFS, Ceph, 9P, Lustre and the like by their magic
// number, and FUSE mounts of network tools (sshfs, rclone, s3fs, ...) by their type name.
bool isNetworkFilesystem(std::string_view type, unsigned long magic);
// Known answers by file-system type: yes for the common local Linux file systems, no for
// network shares that lack it; nullopt for the rest.
std::optional<bool> supportsExclusiveRename(std::string_view type, unsigned long magic);

}  // namespace oakenmere::platform
