// The only file that makes file-system calls; everything else reaches them through the door.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/file_system.h"

namespace oakenmere::platform {

int PosixFileSystem::openAtOnce(int folder, const char* path, int flags, mode_t mode) noexcept {
    return ::openat(folder, path, flags, mode);
}

int PosixFileSystem::openBeneathOnce(int folder, const char* path, int flags, mode_t mode) noexcept {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, folder, path, &how, sizeof how));
}

int PosixFileSystem::closeOnce(int fd) noexcept { return ::close(fd); }

ssize_t PosixFileSystem::readOnce(int fd, void* buffer, std::size_t size) noexcept { return ::read(fd, buffer, size); }

ssize_t PosixFileSystem::readAtOnce(int fd, void* buffer, std::size_t size, off_t offset) noexcept {
    return ::pread(fd, buffer, size, offset);
}

ssize_t PosixFileSystem::writeOnce(int fd, const void* bytes, std::size_t size) noexcept { return ::write(fd, bytes, size); }

ssize_t PosixFileSystem::writeAtOnce(int fd, const void* bytes, std::size_t size, off_t offset) noexcept {
    return ::pwrite(fd, bytes, size, offset);
}

int PosixFileSystem::flushOnce(int fd) noexcept { return ::fsync(fd); }

int PosixFileSystem::flushDataOnce(int fd) noexcept { return ::fdatasync(fd); }

int PosixFileSystem::startWritebackOnce(int fd, off_t offset, off_t length) noexcept {
    return ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

int PosixFileSystem::adviseOnce(int fd, off_t offset, off_t length, int advice) noexcept {
    const int err = ::posix_fadvise(fd, offset, length, advice);
    if (err == 0) return 0;
    errno = err;
    return -1;
}

int PosixFileSystem::renameAtOnce(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) noexcept {
    return ::renameat2(fromFolder, from, toFolder, to, flags);
}

int PosixFileSystem::linkAtOnce(int fromFolder, const char* from, int toFolder, const char* to, int flags) noexcept {
    return ::linkat(fromFolder, from, toFolder, to, flags);
}

int PosixFileSystem::unlinkAtOnce(int folder, const char* name, int flags) noexcept { return ::unlinkat(folder, name, flags); }

int PosixFileSystem::makeFolderAtOnce(int folder, const char* name, mode_t mode) noexcept { return ::mkdirat(folder, name, mode); }

int PosixFileSystem::lockOnce(int fd, int operation) noexcept { return ::flock(fd, operation); }

int PosixFileSystem::flushVolumeOnce(int fd) noexcept { return ::syncfs(fd); }

int PosixFileSystem::setTimesOnce(int fd, const struct timespec times[2]) noexcept { return ::futimens(fd, times); }

int PosixFileSystem::statAtOnce(int folder, const char* path, struct stat& out, int flags) noexcept {
    return ::fstatat(folder, path, &out, flags);
}

int PosixFileSystem::statOnce(int fd, struct stat& out) noexcept { return ::fstat(fd, &out); }

int PosixFileSystem::statVolumeOnce(const char* path, struct statfs& out) noexcept { return ::statfs(path, &out); }

int PosixFileSystem::controlOnce(int fd, int command, int argument) noexcept { return ::fcntl(fd, command, argument); }

int PosixFileSystem::listFolderOnce(int fd, std::vector<std::string>& names) noexcept {
    // readdir needs a descriptor of its own, which closedir then closes.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return -1;
    DIR* folder = ::fdopendir(own);
    if (folder == nullptr) {
        const int err = errno;
        ::close(own);
        errno = err;
        return -1;
    }
    ::rewinddir(folder);  // the duplicate shares the original's position
    errno = 0;
    int err = 0;
    try {
        while (const struct dirent* entry = ::readdir(folder)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(std::move(name));
        }
        err = errno;
    } catch (const std::bad_alloc&) {
        err = ENOMEM;
    }
    ::closedir(folder);
    errno = err;
    return err == 0 ? 0 : -1;
}

int PosixFileSystem::resolveOnce(const char* path, std::string& out) noexcept {
    char* resolved = ::realpath(path, nullptr);
    if (resolved == nullptr) return -1;
    int rc = 0;
    try {
        out = resolved;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        rc = -1;
    }
    std::free(resolved);
    return rc;
}

int PosixFileSystem::readLinkAtOnce(int folder, const char* path, std::string& out) noexcept {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlinkat(folder, path, buffer, sizeof buffer);
    if (length < 0) return -1;
    // A destination that fills the buffer may have been cut short.
    if (static_cast<std::size_t>(length) == sizeof buffer) {
        errno = ENAMETOOLONG;
        return -1;
    }
    try {
        out.assign(buffer, static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

int PosixFileSystem::makeSymbolicLinkAtOnce(const char* destination, int folder, const char* name) noexcept {
    return ::symlinkat(destination, folder, name);
}

int PosixFileSystem::makeTemporaryFolderOnce(std::string& pattern) noexcept { return ::mkdtemp(pattern.data()) == nullptr ? -1 : 0; }

}  // namespace oakenmere::platform
