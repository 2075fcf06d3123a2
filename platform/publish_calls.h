#pragma once
// The single system calls the exclusive publisher tries one after another. Each returns 0 on
// success or the call's errno, so the caller can decide per code whether to fall back, refuse
// or report; none throws.
#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "platform/unique_fd.h"

namespace oakenmere::platform {

// A folder to resolve names against: an open folder, or the process's current folder.
class FolderRef {
public:
    static FolderRef currentDirectory() noexcept;
    static FolderRef of(const UniqueFd& folder) noexcept;
    int get() const noexcept { return fd_; }

private:
    explicit FolderRef(int fd) : fd_(fd) {}
    int fd_;
};

// renameat2 with RENAME_NOREPLACE: EEXIST when `to` exists; EINVAL or ENOSYS where the file
// system cannot do it.
int renameNoReplace(FolderRef fromFolder, const std::string& from, FolderRef toFolder, const std::string& to) noexcept;
int hardLink(FolderRef fromFolder, const std::string& from, FolderRef toFolder, const std::string& to) noexcept;
// O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | kOpenBaseFlags with `mode`; the descriptor in `out`.
int createNew(FolderRef folder, const std::string& name, mode_t mode, UniqueFd& out) noexcept;
int statNoFollow(FolderRef folder, const std::string& name, FileStatus& out) noexcept;
int statOpen(const UniqueFd& fd, FileStatus& out) noexcept;
// Plain renameat, replacing `to`.
int renameReplacing(FolderRef fromFolder, const std::string& from, FolderRef toFolder, const std::string& to) noexcept;
int unlinkName(FolderRef folder, const std::string& name) noexcept;
// open(folder, O_RDONLY | O_DIRECTORY) then fsync.
int syncFolder(const std::filesystem::path& folder) noexcept;
// fsync of a folder already open.
int syncFolder(const UniqueFd& folder) noexcept;

// What the C library says an error code means: "Permission denied".
std::string errorText(int code);

}  // namespace oakenmere::platform
