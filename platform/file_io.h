#pragma once
// Checked file calls for the layers above, made through the door of file_system.h.
// Failures throw std::system_error (see posix_error.h) unless a function says otherwise.
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/bytes.h"
#include "platform/file_system.h"
#include "platform/unique_fd.h"

namespace oakenmere::platform {

struct FileStatus {
    mode_t mode = 0;
    std::int64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::int64_t changedSeconds = 0;
    std::int64_t changedNanoseconds = 0;
    bool isRegular() const noexcept;
    bool isDirectory() const noexcept;
    bool isSymlink() const noexcept;
};

// A folder opened for use as the base of *at calls: O_DIRECTORY | O_NOFOLLOW, so a symbolic
// link in the last component fails with ELOOP or ENOTDIR.
UniqueFd openDirectory(const std::filesystem::path& path);
// openat(dir, name, flags, mode).
UniqueFd openAt(const UniqueFd& dir, const std::string& name, int flags, mode_t mode = 0);
// The same, with `context` in place of "open “name”" in a failure.
UniqueFd openAt(const UniqueFd& dir, const std::string& name, int flags, mode_t mode, std::string_view context);

// open(path, flags, mode).
UniqueFd openPath(const std::filesystem::path& path, int flags, mode_t mode = 0);
// A FIFO, device, socket or folder found where a regular file was to be opened.
class NotRegularFileError : public std::runtime_error {
public:
    explicit NotRegularFileError(const std::filesystem::path& path);
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

struct OpenedRegularFile {
    UniqueFd fd;
    FileStatus status;
};
// open(path, flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK), then fstat: never follows a final
// link, never waits on a FIFO or device put in the file's place, never makes a terminal ours.
// Anything but a regular file throws NotRegularFileError. O_NONBLOCK stays set (it changes
// nothing for a regular file).
OpenedRegularFile openRegularFile(const std::filesystem::path& path, int flags, mode_t mode = 0);
// Clears O_NONBLOCK (F_GETFL, then F_SETFL).
void clearNonBlocking(const UniqueFd& fd);
// One read of at most buffer.size() bytes; 0 at the end of the file.
std::size_t readSome(const UniqueFd& fd, std::span<std::uint8_t> buffer);
// lstat; nullopt when the entry does not exist (ENOENT).
std::optional<FileStatus> lstatPath(const std::filesystem::path& path);
// realpath; nullopt when it fails.
std::optional<std::string> realPath(const std::filesystem::path& path);

// fstat; nullopt when the call fails (callers decide what that means for them).
std::optional<FileStatus> statDescriptor(const UniqueFd& fd) noexcept;
// fstatat(folder, name, AT_SYMLINK_NOFOLLOW); nullopt with errno set when it fails.
std::optional<FileStatus> statAtFolder(int folder, const std::string& name) noexcept;

// Reads until `buffer` is full. Returns false when the file ends early or a read fails.
bool readExactly(const UniqueFd& fd, std::span<std::uint8_t> buffer) noexcept;
// Writes every byte, repeating partial writes; a write that returns 0 is reported as EIO.
void writeAll(const UniqueFd& fd, ByteView bytes, std::string_view context);
// The same at `offset` (pwrite), the file position left alone.
void writeAllAt(const UniqueFd& fd, ByteView bytes, std::int64_t offset, std::string_view context);
void syncDescriptor(const UniqueFd& fd, std::string_view context);
// Flushes everything written on the file system that holds `path` (syncfs), folders' entries too.
void flushVolumeOf(const std::filesystem::path& path);
// Sets the open file's modification time (its access time too), as a copy keeps its source's.
void setModificationTime(const UniqueFd& fd, std::int64_t seconds, std::int64_t nanoseconds, std::string_view context);

// Hints about cached pages; failures are ignored because they only cost speed.
// Starts writing `length` bytes from `offset` to the device without waiting (sync_file_range).
void startWriteback(const UniqueFd& fd, std::int64_t offset, std::int64_t length) noexcept;
// Drops the file's clean cached pages, so the next read comes from the device.
void dropCachedPages(const UniqueFd& fd) noexcept;
void adviseSequential(const UniqueFd& fd) noexcept;
// Starts reading the whole file into the cache in the background (POSIX_FADV_WILLNEED).
void adviseWillNeed(const UniqueFd& fd) noexcept;

// Creates `name` in `folder` exclusively (mode 0600, never through a symbolic link), writes
// every byte and flushes the file. On failure the new file is removed and the error thrown.
void writeNewFile(const UniqueFd& folder, const std::string& name, ByteView bytes);

// mkdir(path, mode) without making parents. false when something already has the name (EEXIST);
// other failures throw.
bool makeFolder(const std::filesystem::path& path, mode_t mode);
// mkdir of `path` and every missing folder above it; folders that exist already are fine.
void makeFolderTree(const std::filesystem::path& path, mode_t mode);
// Appends `line` (which ends in "\n") to `name` in `folder` (made with mode 0600 when missing)
// with one write on a descriptor opened O_APPEND, then flushes the file. If the file does not end
// in "\n" (an earlier append was torn by a crash) a "\n" goes first, in the same write, so the
// torn line never swallows this one. A short write is EIO.
void appendLineDurably(const UniqueFd& folder, const std::string& name, ByteView line);
// rmdir and unlink by path, for undoing what the caller made: failures are ignored, as the error
// that caused the undoing is the one to report.
void removeFolderIgnoringErrors(const std::filesystem::path& path) noexcept;
// rmdir by path; whether it succeeded (errno says why not).
bool removeFolder(const std::filesystem::path& path) noexcept;
// rmdir of `name` in the open `folder`, failures ignored.
void removeFolderAtIgnoringErrors(const UniqueFd& folder, const std::string& name) noexcept;
void unlinkIgnoringErrors(const std::filesystem::path& path) noexcept;
// unlink by path; whether it succeeded.
bool unlinkPath(const std::filesystem::path& path) noexcept;

// renameat within one folder, replacing an existing entry of the new name.
void renameAt(const UniqueFd& dir, const std::string& from, const std::string& to);
// unlinkat of a file; the result is ignored because callers use it to tidy up.
void unlinkAtIgnoringErrors(const UniqueFd& dir, const std::string& name) noexcept;

// A small, whole regular file read relative to `dir`:
//  - openat(O_RDONLY | O_NONBLOCK | O_NOFOLLOW) failing (a symbolic link included) throws;
//  - a file that cannot be stat'ed, is not regular, is empty, is larger than `maximumBytes`
//    or turns out shorter than its size gives nullopt.
// Exactly the size fstat reported is read, never a byte more.
std::optional<Bytes> readNonEmptyRegularFileAt(const UniqueFd& dir, const std::string& name, std::int64_t maximumBytes);

// A new, private folder under $TMPDIR (or /tmp) whose name starts with `prefix`.
std::filesystem::path makeTemporaryFolder(std::string_view prefix);

// Removes the folder at `path` and everything in it, never following a symbolic link; for
// scratch folders of our own. Failures are ignored: what cannot go stays in a temporary folder.
void removeTreeIgnoringErrors(const std::filesystem::path& path) noexcept;

// Names in a folder (without "." and ".."), for tidying and for tests.
std::vector<std::string> listDirectory(const std::filesystem::path& path);
// The same for an open folder; `path` names it in a failure.
std::vector<std::string> listDirectory(const UniqueFd& folder, const std::filesystem::path& path);

// The entry a path names: "a/b/" is the entry "b" in "a". A trailing "/" is dropped because it
// would make the kernel follow a symbolic link there; "/" stays "/".
std::filesystem::path entryPath(const std::filesystem::path& path);
// The absolute path with "." and ".." pieces resolved lexically and no trailing "/"; symbolic
// links are not looked at.
std::filesystem::path standardizedPath(const std::filesystem::path& path);

// Closes now and reports a failure: on network and FUSE file systems close is where a failed
// write may first show. The descriptor is gone either way, as Linux frees it even then.
void closeChecked(UniqueFd& fd, std::string_view context);

}  // namespace oakenmere::platform
