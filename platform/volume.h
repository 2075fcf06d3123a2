#pragma once
// Facts about the volume (mounted file system) that holds a path, from statfs and the mount
// table.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace oakenmere::platform {

struct VolumeFacts {
    std::string filesystemType;  // as the mount table names it: "ext4", "nfs4", "fuse.sshfs"; may be empty
    std::string mountPoint;      // may be empty when the mount table does not say
    std::optional<bool> isLocal;  // nullopt when it cannot be told
};

// `path` must exist. Throws the POSIX error of statfs.
VolumeFacts volumeFacts(const std::filesystem::path& path);

// Network file systems: NFS, SMB/CIFS, AFS, Ceph, 9P, Lustre and the like by their magic
// number, and FUSE mounts of network tools (sshfs, rclone, s3fs, ...) by their type name.
bool isNetworkFilesystem(std::string_view type, unsigned long magic);

}  // namespace oakenmere::platform
