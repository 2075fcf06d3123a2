#include "platform/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"

namespace oakenmere::platform {

namespace {
// true: locked; false: someone else has it. Other failures throw.
bool tryLock(const UniqueFd& fd, const std::filesystem::path& path) {
    int rc;
    do {
        rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    if (errno == EWOULDBLOCK) return false;
    throwLastPosixError("flock " + inQuotes(path.string()));
}
}  // namespace

std::optional<UniqueFd> lockFileExclusively(const std::filesystem::path& path) {
    UniqueFd fd = openPath(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (!tryLock(fd, path)) return std::nullopt;
    return fd;
}

bool isLockHeld(const std::filesystem::path& path) {
    UniqueFd fd;
    try {
        fd = openPath(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    } catch (const std::system_error& error) {
        if (isPosixError(error, ENOENT)) return false;
        throw;
    }
    return !tryLock(fd, path);  // closing the descriptor releases a lock taken here
}

}  // namespace oakenmere::platform
