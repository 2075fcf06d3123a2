#pragma once
// The one door to the file system. Every call this program makes on files, folders and their
// descriptors goes through the FileSystem in use (fileSystem()), so that a test can put another
// in its place: one that fails the Nth call of a kind, comes up short, or forgets what was
// never flushed, as a power cut would.
//
// The calls keep the kernel's shape: a descriptor, a count or 0 on success; -1 with errno set on
// failure. Three rules live here and nowhere else:
//  - a call interrupted by a signal (EINTR) is made again, except close, which Linux has
//    completed even then, so an interrupted close counts as done;
//  - every open adds kOpenBaseFlags;
//  - an implementation overrides only the `…Once` calls, each of which makes its call once.
// Turning a failure into an error is posix_error.h's business.
//
// Implementations must be usable from any thread at once.
#include <cstddef>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <vector>

namespace oakenmere::platform {

// The flags every open adds: no descriptor of ours leaks into a program we start.
inline constexpr int kOpenBaseFlags = O_CLOEXEC;

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // openat; AT_FDCWD resolves relative paths against the current folder.
    int openAt(int folder, const char* path, int flags, mode_t mode = 0) noexcept;
    // openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS; ENOSYS where the
    // kernel lacks it. EAGAIN (a rename raced the lookup) is tried again a few times.
    int openBeneath(int folder, const char* path, int flags, mode_t mode = 0) noexcept;
    int close(int fd) noexcept;
    ssize_t read(int fd, void* buffer, std::size_t size) noexcept;
    ssize_t readAt(int fd, void* buffer, std::size_t size, off_t offset) noexcept;
    ssize_t write(int fd, const void* bytes, std::size_t size) noexcept;
    ssize_t writeAt(int fd, const void* bytes, std::size_t size, off_t offset) noexcept;
    // fsync and fdatasync: the file's data (and, for fsync, its size and times) are on the device.
    int flush(int fd) noexcept;
    int flushData(int fd) noexcept;
    // sync_file_range(SYNC_FILE_RANGE_WRITE): starts writing without waiting; promises nothing.
    int startWriteback(int fd, off_t offset, off_t length) noexcept;
    // posix_fadvise, with its error number moved to errno.
    int advise(int fd, off_t offset, off_t length, int advice) noexcept;
    // renameat2; flags 0 replaces an existing `to`, RENAME_NOREPLACE fails with EEXIST.
    int renameAt(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags = 0) noexcept;
    int linkAt(int fromFolder, const char* from, int toFolder, const char* to, int flags = 0) noexcept;
    // unlinkat; AT_REMOVEDIR removes an empty folder.
    int unlinkAt(int folder, const char* name, int flags = 0) noexcept;
    int makeFolderAt(int folder, const char* name, mode_t mode) noexcept;
    int lock(int fd, int operation) noexcept;  // flock
    // futimens: the open file's access and modification times.
    int setTimes(int fd, const struct timespec times[2]) noexcept;
    // syncfs: everything written on the file system holding `fd` is on its device.
    int flushVolume(int fd) noexcept;
    // fstatat; AT_SYMLINK_NOFOLLOW for lstat.
    int statAt(int folder, const char* path, struct stat& out, int flags) noexcept;
    int stat(int fd, struct stat& out) noexcept;
    int statVolume(const char* path, struct statfs& out) noexcept;
    // fcntl with an integer argument (F_GETFL, F_SETFL, F_DUPFD_CLOEXEC).
    int control(int fd, int command, int argument) noexcept;
    // The names in the open folder `fd`, without "." and ".."; `fd` stays the caller's.
    int listFolder(int fd, std::vector<std::string>& names) noexcept;
    // realpath.
    int resolve(const char* path, std::string& out) noexcept;
    // readlinkat: where the symbolic link `path` leads, as it was written, in `out`.
    int readLinkAt(int folder, const char* path, std::string& out) noexcept;
    // symlinkat: a new symbolic link `name` leading to `destination`; EEXIST when the name is taken.
    int makeSymbolicLinkAt(const char* destination, int folder, const char* name) noexcept;
    // mkdtemp: `pattern` ends in "XXXXXX", which the call replaces.
    int makeTemporaryFolder(std::string& pattern) noexcept;

protected:
    virtual int openAtOnce(int folder, const char* path, int flags, mode_t mode) noexcept = 0;
    virtual int openBeneathOnce(int folder, const char* path, int flags, mode_t mode) noexcept = 0;
    virtual int closeOnce(int fd) noexcept = 0;
    virtual ssize_t readOnce(int fd, void* buffer, std::size_t size) noexcept = 0;
    virtual ssize_t readAtOnce(int fd, void* buffer, std::size_t size, off_t offset) noexcept = 0;
    virtual ssize_t writeOnce(int fd, const void* bytes, std::size_t size) noexcept = 0;
    virtual ssize_t writeAtOnce(int fd, const void* bytes, std::size_t size, off_t offset) noexcept = 0;
    virtual int flushOnce(int fd) noexcept = 0;
    virtual int flushDataOnce(int fd) noexcept = 0;
    virtual int startWritebackOnce(int fd, off_t offset, off_t length) noexcept = 0;
    virtual int adviseOnce(int fd, off_t offset, off_t length, int advice) noexcept = 0;
    virtual int renameAtOnce(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) noexcept = 0;
    virtual int linkAtOnce(int fromFolder, const char* from, int toFolder, const char* to, int flags) noexcept = 0;
    virtual int unlinkAtOnce(int folder, const char* name, int flags) noexcept = 0;
    virtual int makeFolderAtOnce(int folder, const char* name, mode_t mode) noexcept = 0;
    virtual int lockOnce(int fd, int operation) noexcept = 0;
    virtual int setTimesOnce(int fd, const struct timespec times[2]) noexcept = 0;
    virtual int flushVolumeOnce(int fd) noexcept = 0;
    virtual int statAtOnce(int folder, const char* path, struct stat& out, int flags) noexcept = 0;
    virtual int statOnce(int fd, struct stat& out) noexcept = 0;
    virtual int statVolumeOnce(const char* path, struct statfs& out) noexcept = 0;
    virtual int controlOnce(int fd, int command, int argument) noexcept = 0;
    virtual int listFolderOnce(int fd, std::vector<std::string>& names) noexcept = 0;
    virtual int resolveOnce(const char* path, std::string& out) noexcept = 0;
    virtual int readLinkAtOnce(int folder, const char* path, std::string& out) noexcept = 0;
    virtual int makeSymbolicLinkAtOnce(const char* destination, int folder, const char* name) noexcept = 0;
    virtual int makeTemporaryFolderOnce(std::string& pattern) noexcept = 0;
};

// The kernel's own calls, each made as it stands.
class PosixFileSystem : public FileSystem {
protected:
    int openAtOnce(int folder, const char* path, int flags, mode_t mode) noexcept override;
    int openBeneathOnce(int folder, const char* path, int flags, mode_t mode) noexcept override;
    int closeOnce(int fd) noexcept override;
    ssize_t readOnce(int fd, void* buffer, std::size_t size) noexcept override;
    ssize_t readAtOnce(int fd, void* buffer, std::size_t size, off_t offset) noexcept override;
    ssize_t writeOnce(int fd, const void* bytes, std::size_t size) noexcept override;
    ssize_t writeAtOnce(int fd, const void* bytes, std::size_t size, off_t offset) noexcept override;
    int flushOnce(int fd) noexcept override;
    int flushDataOnce(int fd) noexcept override;
    int startWritebackOnce(int fd, off_t offset, off_t length) noexcept override;
    int adviseOnce(int fd, off_t offset, off_t length, int advice) noexcept override;
    int renameAtOnce(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) noexcept override;
    int linkAtOnce(int fromFolder, const char* from, int toFolder, const char* to, int flags) noexcept override;
    int unlinkAtOnce(int folder, const char* name, int flags) noexcept override;
    int makeFolderAtOnce(int folder, const char* name, mode_t mode) noexcept override;
    int lockOnce(int fd, int operation) noexcept override;
    int setTimesOnce(int fd, const struct timespec times[2]) noexcept override;
    int flushVolumeOnce(int fd) noexcept override;
    int statAtOnce(int folder, const char* path, struct stat& out, int flags) noexcept override;
    int statOnce(int fd, struct stat& out) noexcept override;
    int statVolumeOnce(const char* path, struct statfs& out) noexcept override;
    int controlOnce(int fd, int command, int argument) noexcept override;
    int listFolderOnce(int fd, std::vector<std::string>& names) noexcept override;
    int resolveOnce(const char* path, std::string& out) noexcept override;
    int readLinkAtOnce(int folder, const char* path, std::string& out) noexcept override;
    int makeSymbolicLinkAtOnce(const char* destination, int folder, const char* name) noexcept override;
    int makeTemporaryFolderOnce(std::string& pattern) noexcept override;
};

// The door in use: a PosixFileSystem unless a test has put another in its place.
FileSystem& fileSystem() noexcept;
// Puts `replacement` (nullptr: the PosixFileSystem) in use for every thread and returns the one
// it replaces. The replacement must outlive its use.
FileSystem* useFileSystemForTesting(FileSystem* replacement) noexcept;

}  // namespace oakenmere::platform
