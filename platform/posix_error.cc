#include "platform/posix_error.h"

#include <cerrno>
#include <cstring>

namespace oakenmere::platform {

int knownErrnoOrEIO(int err) noexcept {
    if (err <= 0) return EIO;
    return ::strerrorname_np(err) != nullptr ? err : EIO;
}

std::system_error posixError(int err, std::string_view context) {
    return std::system_error(knownErrnoOrEIO(err), std::generic_category(), std::string(context));
}

void throwPosixError(int err, std::string_view context) { throw posixError(err, context); }

void throwLastPosixError(std::string_view context) { throwPosixError(errno, context); }

bool isUnsupportedByVolume(VolumeCall call, int err) noexcept {
    const bool never = err == ENOSYS || err == EOPNOTSUPP;  // ENOTSUP is the same code on Linux
    switch (call) {
    case VolumeCall::exclusiveRename: return never || err == EINVAL;
    case VolumeCall::hardLink: return never || err == EPERM;  // EINVAL is a refusal of this link
    case VolumeCall::unnamedFile: return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
    }
    return false;
}

bool isPosixError(const std::system_error& error, int err) noexcept {
    return error.code().category() == std::generic_category() && error.code().value() == err;
}

}  // namespace oakenmere::platform
