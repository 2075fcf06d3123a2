#include "platform/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

#include "platform/file_io.h"
#include "platform/lock_table.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"
#include "platform/volume.h"

namespace oakenmere::platform {

namespace {

// Enough for a name swapped by a racing tidy-up; one that keeps changing is someone's doing.
constexpr int kLockFileAttempts = 3;

// true: locked; false: someone else has it. Other failures throw.
bool tryLock(const UniqueFd& fd, const std::filesystem::path& path) {
    const int rc = fileSystem().lock(fd.get(), LOCK_EX | LOCK_NB);
    if (rc == 0) return true;
    if (errno == EWOULDBLOCK) return false;
    throwLastPosixError("flock " + inQuotes(path.string()));
}

bool isSameEntry(const FileStatus& a, const FileStatus& b) { return a.device == b.device && a.inode == b.inode; }

}  // namespace

std::optional<UniqueFd> lockFileExclusively(const std::filesystem::path& path) {
    for (int attempt = 0; attempt < kLockFileAttempts; ++attempt) {
        auto [fd, status] = openRegularFile(path, O_RDWR | O_CREAT, 0600);
        if (!tryLock(fd, path)) return std::nullopt;
        // A lock on a file no longer under the name keeps nobody out.
        if (auto named = lstatPath(path); named && isSameEntry(*named, status)) return std::move(fd);
    }
    return std::nullopt;
}

std::optional<UniqueFd> lockFolderExclusively(const std::filesystem::path& path) {
    UniqueFd folder = openDirectory(path);
    if (!tryLock(folder, path)) return std::nullopt;
    return folder;
}

bool isLockHeld(const std::filesystem::path& path) {
    auto status = lstatPath(path);
    if (!status) return false;
    return hasFlockHolder({status->device, fileSystemDevice(path).value_or(status->device)}, status->inode);
}

}  // namespace oakenmere::platform
