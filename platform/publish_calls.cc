#include "platform/publish_calls.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oakenmere::platform {

namespace {
int result(int rc) noexcept { return rc == 0 ? 0 : errno; }
FileSystem& fs() noexcept { return fileSystem(); }
}  // namespace

FolderRef FolderRef::currentDirectory() noexcept { return FolderRef(AT_FDCWD); }
FolderRef FolderRef::of(const UniqueFd& folder) noexcept { return FolderRef(folder.get()); }

int renameNoReplace(FolderRef fromFolder, const std::string& from, FolderRef toFolder, const std::string& to) noexcept {
    return result(fs().renameAt(fromFolder.get(), from.c_str(), toFolder.get(), to.c_str(), RENAME_NOREPLACE));
}

int hardLink(FolderRef fromFolder, const std::string& from, FolderRef toFolder, const std::string& to) noexcept {
    return result(fs().linkAt(fromFolder.get(), from.c_str(), toFolder.get(), to.c_str()));
}

int createNew(FolderRef folder, const std::string& name, mode_t mode, UniqueFd& out) noexcept {
    const int fd = fs().openAt(folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    if (fd < 0) return errno;
    out = UniqueFd(fd);
    return 0;
}

int statNoFollow(FolderRef folder, const std::string& name, FileStatus& out) noexcept {
    auto status = statAtFolder(folder.get(), name);
    if (!status) return errno;
    out = *status;
    return 0;
}

int statOpen(const UniqueFd& fd, FileStatus& out) noexcept {
    auto status = statDescriptor(fd);
    if (!status) return errno;
    out = *status;
    return 0;
}

int renameReplacing(FolderRef fromFolder, const std::string& from, FolderRef toFolder, const std::string& to) noexcept {
    return result(fs().renameAt(fromFolder.get(), from.c_str(), toFolder.get(), to.c_str()));
}

int unlinkName(FolderRef folder, const std::string& name) noexcept { return result(fs().unlinkAt(folder.get(), name.c_str())); }

int syncFolder(const std::filesystem::path& folder) noexcept {
    UniqueFd fd(fs().openAt(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (!fd) return errno;
    return syncFolder(fd);
}

int syncFolder(const UniqueFd& folder) noexcept { return result(fs().flush(folder.get())); }

std::string errorText(int code) { return std::strerror(code); }

}  // namespace oakenmere::platform
