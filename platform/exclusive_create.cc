#include "platform/exclusive_create.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"

namespace oakenmere::platform {

namespace {

constexpr mode_t kMode = 0600;

// An unnamed file in `folder`, or an empty descriptor where the file system has none.
UniqueFd openUnnamed(const UniqueFd& folder) {
    const int fd = fileSystem().openAt(folder.get(), ".", O_TMPFILE | O_WRONLY, kMode);
    if (fd >= 0) return UniqueFd(fd);
    const int err = errno;
    if (isUnsupportedByVolume(VolumeCall::unnamedFile, err)) return UniqueFd();
    throwPosixError(err, "open an unnamed file");
}

}  // namespace

void createFileExclusively(const UniqueFd& folder, const std::string& name, ByteView bytes,
                           const std::function<void(ExclusiveCreateStage)>& observe) {
    UniqueFd file = openUnnamed(folder);
    if (!file) {
        writeNewFile(folder, name, bytes);
        if (observe) observe(ExclusiveCreateStage::named);
        return;
    }
    writeAll(file, bytes, "write " + inQuotes(name));
    syncDescriptor(file, "fsync " + inQuotes(name));
    if (observe) observe(ExclusiveCreateStage::writtenUnnamed);
    // linkat never replaces, so an existing name fails with EEXIST. The /proc path names the
    // open file without the privilege AT_EMPTY_PATH needs.
    const std::string self = "/proc/self/fd/" + std::to_string(file.get());
    if (fileSystem().linkAt(AT_FDCWD, self.c_str(), folder.get(), name.c_str(), AT_SYMLINK_FOLLOW) != 0)
        throwLastPosixError("create " + inQuotes(name));
    if (observe) observe(ExclusiveCreateStage::named);
}

void flushFile(const UniqueFd& folder, const std::string& name) {
    UniqueFd file = openAt(folder, name, O_WRONLY | O_NOFOLLOW);
    syncDescriptor(file, "fsync " + inQuotes(name));
}

void flushFolder(const std::filesystem::path& path) {
    UniqueFd folder;
    try {
        folder = openPath(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        syncDescriptor(folder, "fsync " + inQuotes(path.string()));
    } catch (const std::system_error& error) {
        // Callers only need to know the name may not be durable.
        throwPosixError(EIO, error.what());
    }
}

}  // namespace oakenmere::platform
