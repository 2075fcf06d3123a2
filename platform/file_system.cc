#include "platform/file_system.h"

#include <atomic>
#include <cerrno>

#include "platform/posix_error.h"

namespace oakenmere::platform {

namespace {

// Enough tries for a lookup that keeps racing renames; more would hide a loop.
constexpr int kBeneathAttempts = 32;

// Never destroyed, so descriptors closed during the program's exit still find it.
PosixFileSystem& posixFileSystem() noexcept {
    static PosixFileSystem* const posix = new PosixFileSystem;
    return *posix;
}

std::atomic<FileSystem*> replacement{nullptr};

}  // namespace

FileSystem& fileSystem() noexcept {
    FileSystem* inUse = replacement.load(std::memory_order_acquire);
    return inUse ? *inUse : posixFileSystem();
}

FileSystem* useFileSystemForTesting(FileSystem* next) noexcept { return replacement.exchange(next); }

int FileSystem::openAt(int folder, const char* path, int flags, mode_t mode) noexcept {
    return retryingInterrupted([&] { return openAtOnce(folder, path, flags | kOpenBaseFlags, mode); });
}

int FileSystem::openBeneath(int folder, const char* path, int flags, mode_t mode) noexcept {
    int fd = -1;
    for (int attempt = 0; attempt < kBeneathAttempts; ++attempt) {
        fd = openBeneathOnce(folder, path, flags | kOpenBaseFlags, mode);
        if (fd >= 0 || (errno != EINTR && errno != EAGAIN)) break;
    }
    return fd;
}

int FileSystem::close(int fd) noexcept {
    // Linux has released the descriptor even when close says EINTR, and all that matters was
    // flushed before: the close is done.
    const int rc = closeOnce(fd);
    return rc != 0 && errno == EINTR ? 0 : rc;
}

ssize_t FileSystem::read(int fd, void* buffer, std::size_t size) noexcept {
    return retryingInterrupted([&] { return readOnce(fd, buffer, size); });
}

ssize_t FileSystem::readAt(int fd, void* buffer, std::size_t size, off_t offset) noexcept {
    return retryingInterrupted([&] { return readAtOnce(fd, buffer, size, offset); });
}

ssize_t FileSystem::write(int fd, const void* bytes, std::size_t size) noexcept {
    return retryingInterrupted([&] { return writeOnce(fd, bytes, size); });
}

ssize_t FileSystem::writeAt(int fd, const void* bytes, std::size_t size, off_t offset) noexcept {
    return retryingInterrupted([&] { return writeAtOnce(fd, bytes, size, offset); });
}

int FileSystem::flush(int fd) noexcept {
    return retryingInterrupted([&] { return flushOnce(fd); });
}

int FileSystem::flushData(int fd) noexcept {
    return retryingInterrupted([&] { return flushDataOnce(fd); });
}

int FileSystem::startWriteback(int fd, off_t offset, off_t length) noexcept {
    return retryingInterrupted([&] { return startWritebackOnce(fd, offset, length); });
}

int FileSystem::advise(int fd, off_t offset, off_t length, int advice) noexcept {
    return retryingInterrupted([&] { return adviseOnce(fd, offset, length, advice); });
}

int FileSystem::renameAt(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) noexcept {
    return retryingInterrupted([&] { return renameAtOnce(fromFolder, from, toFolder, to, flags); });
}

int FileSystem::linkAt(int fromFolder, const char* from, int toFolder, const char* to, int flags) noexcept {
    return retryingInterrupted([&] { return linkAtOnce(fromFolder, from, toFolder, to, flags); });
}

int FileSystem::unlinkAt(int folder, const char* name, int flags) noexcept {
    return retryingInterrupted([&] { return unlinkAtOnce(folder, name, flags); });
}

int FileSystem::makeFolderAt(int folder, const char* name, mode_t mode) noexcept {
    return retryingInterrupted([&] { return makeFolderAtOnce(folder, name, mode); });
}

int FileSystem::lock(int fd, int operation) noexcept {
    return retryingInterrupted([&] { return lockOnce(fd, operation); });
}

int FileSystem::setTimes(int fd, const struct timespec times[2]) noexcept {
    return retryingInterrupted([&] { return setTimesOnce(fd, times); });
}

int FileSystem::flushVolume(int fd) noexcept {
    return retryingInterrupted([&] { return flushVolumeOnce(fd); });
}

int FileSystem::statAt(int folder, const char* path, struct stat& out, int flags) noexcept {
    return retryingInterrupted([&] { return statAtOnce(folder, path, out, flags); });
}

int FileSystem::stat(int fd, struct stat& out) noexcept {
    return retryingInterrupted([&] { return statOnce(fd, out); });
}

int FileSystem::statVolume(const char* path, struct statfs& out) noexcept {
    return retryingInterrupted([&] { return statVolumeOnce(path, out); });
}

int FileSystem::control(int fd, int command, int argument) noexcept {
    return retryingInterrupted([&] { return controlOnce(fd, command, argument); });
}

int FileSystem::listFolder(int fd, std::vector<std::string>& names) noexcept {
    return retryingInterrupted([&] {
        names.clear();
        return listFolderOnce(fd, names);
    });
}

int FileSystem::resolve(const char* path, std::string& out) noexcept {
    return retryingInterrupted([&] { return resolveOnce(path, out); });
}

int FileSystem::readLinkAt(int folder, const char* path, std::string& out) noexcept {
    return retryingInterrupted([&] { return readLinkAtOnce(folder, path, out); });
}

int FileSystem::makeSymbolicLinkAt(const char* destination, int folder, const char* name) noexcept {
    return retryingInterrupted([&] { return makeSymbolicLinkAtOnce(destination, folder, name); });
}

int FileSystem::makeTemporaryFolder(std::string& pattern) noexcept {
    const std::string asGiven = pattern;
    return retryingInterrupted([&] {
        pattern = asGiven;
        return makeTemporaryFolderOnce(pattern);
    });
}

}  // namespace oakenmere::platform
