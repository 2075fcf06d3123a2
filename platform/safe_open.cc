#include "platform/safe_open.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string_view>

#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"

namespace oakenmere::platform {

namespace {

std::atomic<bool> forceWalk{false};
// Remembered once the kernel says it has no openat2, so later calls skip straight to the walk.
std::atomic<bool> kernelLacksOpenat2{false};

// One piece at a time: every folder on the way is opened with O_NOFOLLOW | O_DIRECTORY, so a
// link in its place fails instead of being followed.
int walk(int root, const std::string& relative, int flags, mode_t mode) {
    UniqueFd current;
    int dir = root;
    std::size_t start = 0;
    while (true) {
        std::size_t slash = relative.find('/', start);
        std::string piece = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (slash == std::string::npos) return fileSystem().openAt(dir, piece.c_str(), flags, mode);
        int next = fileSystem().openAt(dir, piece.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
        if (next < 0) return -1;
        current = UniqueFd(next);
        dir = current.get();
        start = slash + 1;
    }
}

}  // namespace

bool isPlainRelativePath(std::string_view relative) noexcept {
    if (relative.empty() || relative.front() == '/') return false;
    std::size_t start = 0;
    while (true) {
        std::size_t slash = relative.find('/', start);
        std::string_view piece(relative.data() + start, (slash == std::string::npos ? relative.size() : slash) - start);
        if (piece.empty() || piece == "." || piece == "..") return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

UniqueFd openBeneath(const UniqueFd& root, const std::string& relative, int flags, mode_t mode) {
    flags |= O_NOFOLLOW;
    if (!isPlainRelativePath(relative)) throwPosixError(EXDEV, "open " + inQuotes(relative));
    int fd = -1;
    bool walked = forceWalk || kernelLacksOpenat2;
    if (!walked) {
        fd = fileSystem().openBeneath(root.get(), relative.c_str(), flags, mode);
        if (fd < 0 && errno == ENOSYS) {
            kernelLacksOpenat2 = true;
            walked = true;
        }
    }
    if (walked) fd = walk(root.get(), relative, flags, mode);
    if (fd < 0) throwLastPosixError("open " + inQuotes(relative));
    return UniqueFd(fd);
}

void useOpenBeneathWalkForTesting(bool walk) { forceWalk = walk; }

}  // namespace oakenmere::platform
