#include "platform/unique_fd.h"

#include "platform/file_system.h"

namespace oakenmere::platform {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset() noexcept {
    if (fd_ >= 0) {
        // Never retry close on EINTR: Linux has already released the number.
        (void)fileSystem().close(fd_);
        fd_ = -1;
    }
}

}  // namespace oakenmere::platform
