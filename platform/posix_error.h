#pragma once
// POSIX failures travel as std::system_error in the generic category, carrying the failing
// call's errno. A number the C library does not know is reported as EIO.
#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>

namespace oakenmere::platform {

// The errno itself when the C library names it, EIO otherwise.
int knownErrnoOrEIO(int err) noexcept;

// `context` names the call and, where useful, the file: "openat “Summary.json”".
std::system_error posixError(int err, std::string_view context);
[[noreturn]] void throwPosixError(int err, std::string_view context);
// Same, with the current errno.
[[noreturn]] void throwLastPosixError(std::string_view context);

// True when `error` is a POSIX error with this errno.
bool isPosixError(const std::system_error& error, int err) noexcept;

// Makes `call` (a system call returning -1 on failure) again while it fails with EINTR, and
// returns its last result with errno as it left it.
template <class Call>
auto retryingInterrupted(Call&& call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// The codes by which a volume says it cannot make a kind of call at all, as opposed to refusing
// this one: callers fall back to another way on these and report any other code.
enum class VolumeCall { exclusiveRename, hardLink, unnamedFile };
bool isUnsupportedByVolume(VolumeCall call, int err) noexcept;

}  // namespace oakenmere::platform
