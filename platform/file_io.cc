#include "platform/file_io.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/posix_error.h"
#include "platform/quoted.h"

namespace oakenmere::platform {

bool FileStatus::isRegular() const noexcept { return S_ISREG(mode); }
bool FileStatus::isDirectory() const noexcept { return S_ISDIR(mode); }
bool FileStatus::isSymlink() const noexcept { return S_ISLNK(mode); }

namespace {
FileStatus fromStat(const struct stat& st) {
    return FileStatus{st.st_mode,
                      static_cast<std::int64_t>(st.st_size),
                      static_cast<std::uint64_t>(st.st_dev),
                      static_cast<std::uint64_t>(st.st_ino),
                      static_cast<std::int64_t>(st.st_mtim.tv_sec),
                      static_cast<std::int64_t>(st.st_mtim.tv_nsec),
                      static_cast<std::int64_t>(st.st_ctim.tv_sec),
                      static_cast<std::int64_t>(st.st_ctim.tv_nsec)};
}
}  // namespace

UniqueFd openDirectory(const std::filesystem::path& path) {
    // A trailing "/" would make the kernel follow a link in the last component.
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    const int fd = fileSystem().openAt(AT_FDCWD, text.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) throwLastPosixError("open " + inQuotes(path.string()));
    return UniqueFd(fd);
}

UniqueFd openAt(const UniqueFd& dir, const std::string& name, int flags, mode_t mode) {
    return openAt(dir, name, flags, mode, "open " + inQuotes(name));
}

UniqueFd openAt(const UniqueFd& dir, const std::string& name, int flags, mode_t mode, std::string_view context) {
    const int fd = fileSystem().openAt(dir.get(), name.c_str(), flags, mode);
    if (fd < 0) throwLastPosixError(context);
    return UniqueFd(fd);
}

UniqueFd openPath(const std::filesystem::path& path, int flags, mode_t mode) {
    const int fd = fileSystem().openAt(AT_FDCWD, path.c_str(), flags, mode);
    if (fd < 0) throwLastPosixError("open " + inQuotes(path.string()));
    return UniqueFd(fd);
}

NotRegularFileError::NotRegularFileError(const std::filesystem::path& path)
    : std::runtime_error(inQuotes(path.string()) + " is not a regular file, so it was left as it is."), path_(path) {}

OpenedRegularFile openRegularFile(const std::filesystem::path& path, int flags, mode_t mode) {
    UniqueFd fd;
    try {
        fd = openPath(path, flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, mode);
    } catch (const std::system_error& error) {
        if (isPosixError(error, EISDIR)) throw NotRegularFileError(path);  // a folder opened for writing
        throw;
    }
    auto status = statDescriptor(fd);
    if (!status) throwLastPosixError("fstat " + inQuotes(path.string()));
    if (!status->isRegular()) throw NotRegularFileError(path);
    return {std::move(fd), *status};
}

void clearNonBlocking(const UniqueFd& fd) {
    const int flags = fileSystem().control(fd.get(), F_GETFL, 0);
    if (flags < 0) throwLastPosixError("fcntl F_GETFL");
    if (fileSystem().control(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) throwLastPosixError("fcntl F_SETFL");
}

std::size_t readSome(const UniqueFd& fd, std::span<std::uint8_t> buffer) {
    const ssize_t n = fileSystem().read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) throwLastPosixError("read");
    return static_cast<std::size_t>(n);
}

std::optional<FileStatus> lstatPath(const std::filesystem::path& path) {
    struct stat st {};
    if (fileSystem().statAt(AT_FDCWD, path.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return std::nullopt;
        throwLastPosixError("lstat " + inQuotes(path.string()));
    }
    return fromStat(st);
}

std::optional<std::string> realPath(const std::filesystem::path& path) {
    std::string out;
    if (fileSystem().resolve(path.c_str(), out) != 0) return std::nullopt;
    return out;
}

std::optional<FileStatus> statDescriptor(const UniqueFd& fd) noexcept {
    struct stat st {};
    if (fileSystem().stat(fd.get(), st) != 0) return std::nullopt;
    return fromStat(st);
}

std::optional<FileStatus> statAtFolder(int folder, const std::string& name) noexcept {
    struct stat st {};
    if (fileSystem().statAt(folder, name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return fromStat(st);
}

bool readExactly(const UniqueFd& fd, std::span<std::uint8_t> buffer) noexcept {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = fileSystem().read(fd.get(), buffer.data() + done, buffer.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void writeAll(const UniqueFd& fd, ByteView bytes, std::string_view context) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = fileSystem().write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) throwLastPosixError(context);
        if (n == 0) throwPosixError(EIO, context);
        done += static_cast<std::size_t>(n);
    }
}

void writeAllAt(const UniqueFd& fd, ByteView bytes, std::int64_t offset, std::string_view context) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            fileSystem().writeAt(fd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0) throwLastPosixError(context);
        if (n == 0) throwPosixError(EIO, context);
        done += static_cast<std::size_t>(n);
    }
}

void syncDescriptor(const UniqueFd& fd, std::string_view context) {
    if (fileSystem().flush(fd.get()) != 0) throwLastPosixError(context);
}

void flushVolumeOf(const std::filesystem::path& path) {
    const UniqueFd folder = openDirectory(path);
    if (fileSystem().flushVolume(folder.get()) != 0) throwLastPosixError("syncfs " + inQuotes(path.string()));
}

void setModificationTime(const UniqueFd& fd, std::int64_t seconds, std::int64_t nanoseconds, std::string_view context) {
    const struct timespec time { static_cast<time_t>(seconds), static_cast<long>(nanoseconds) };
    const struct timespec times[2]{time, time};
    if (fileSystem().setTimes(fd.get(), times) != 0) throwLastPosixError(context);
}

void writeNewFile(const UniqueFd& folder, const std::string& name, ByteView bytes) {
    UniqueFd file = openAt(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    try {
        writeAll(file, bytes, "write " + inQuotes(name));
        syncDescriptor(file, "fsync " + inQuotes(name));
    } catch (...) {
        file.reset();
        unlinkAtIgnoringErrors(folder, name);  // ours: made exclusively a moment ago
        throw;
    }
}

void startWriteback(const UniqueFd& fd, std::int64_t offset, std::int64_t length) noexcept {
    (void)fileSystem().startWriteback(fd.get(), offset, length);
}

void dropCachedPages(const UniqueFd& fd) noexcept { (void)fileSystem().advise(fd.get(), 0, 0, POSIX_FADV_DONTNEED); }

void adviseSequential(const UniqueFd& fd) noexcept { (void)fileSystem().advise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL); }

void adviseWillNeed(const UniqueFd& fd) noexcept { (void)fileSystem().advise(fd.get(), 0, 0, POSIX_FADV_WILLNEED); }

bool makeFolder(const std::filesystem::path& path, mode_t mode) {
    if (fileSystem().makeFolderAt(AT_FDCWD, path.c_str(), mode) == 0) return true;
    if (errno == EEXIST) return false;
    throwLastPosixError("mkdir " + inQuotes(path.string()));
}

void makeFolderTree(const std::filesystem::path& path, mode_t mode) {
    // The folder itself first: usually only it is missing, and asking every folder above it
    // (from "/") costs a lookup each.
    if (fileSystem().makeFolderAt(AT_FDCWD, path.c_str(), mode) == 0 || errno == EEXIST) return;
    const std::filesystem::path parent = path.parent_path();
    if (errno != ENOENT || parent.empty() || parent == path) throwLastPosixError("mkdir " + inQuotes(path.string()));
    makeFolderTree(parent, mode);
    if (fileSystem().makeFolderAt(AT_FDCWD, path.c_str(), mode) != 0 && errno != EEXIST)
        throwLastPosixError("mkdir " + inQuotes(path.string()));
}

void appendLineDurably(const UniqueFd& folder, const std::string& name, ByteView line) {
    UniqueFd file = openAt(folder, name, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, 0600);
    auto status = statDescriptor(file);
    if (!status) throwLastPosixError("fstat " + inQuotes(name));
    std::uint8_t last = '\n';
    if (status->size > 0 && fileSystem().readAt(file.get(), &last, 1, status->size - 1) != 1) throwLastPosixError("read " + inQuotes(name));
    Bytes bytes;
    if (last != '\n') bytes.push_back('\n');
    bytes.insert(bytes.end(), line.begin(), line.end());
    // One write: an append is never interleaved with another writer's.
    const ssize_t n = fileSystem().write(file.get(), bytes.data(), bytes.size());
    if (n < 0) throwLastPosixError("write " + inQuotes(name));
    if (static_cast<std::size_t>(n) != bytes.size()) throwPosixError(EIO, "write " + inQuotes(name));
    syncDescriptor(file, "fsync " + inQuotes(name));
    closeChecked(file, "close " + inQuotes(name));
}

bool removeFolder(const std::filesystem::path& path) noexcept { return fileSystem().unlinkAt(AT_FDCWD, path.c_str(), AT_REMOVEDIR) == 0; }

void removeFolderIgnoringErrors(const std::filesystem::path& path) noexcept { (void)removeFolder(path); }

void removeFolderAtIgnoringErrors(const UniqueFd& folder, const std::string& name) noexcept {
    (void)fileSystem().unlinkAt(folder.get(), name.c_str(), AT_REMOVEDIR);
}

bool unlinkPath(const std::filesystem::path& path) noexcept { return fileSystem().unlinkAt(AT_FDCWD, path.c_str()) == 0; }

void unlinkIgnoringErrors(const std::filesystem::path& path) noexcept { (void)unlinkPath(path); }

void renameAt(const UniqueFd& dir, const std::string& from, const std::string& to) {
    if (fileSystem().renameAt(dir.get(), from.c_str(), dir.get(), to.c_str()) != 0)
        throwLastPosixError("rename " + inQuotes(from) + " to " + inQuotes(to));
}

void unlinkAtIgnoringErrors(const UniqueFd& dir, const std::string& name) noexcept { (void)fileSystem().unlinkAt(dir.get(), name.c_str()); }

std::optional<Bytes> readNonEmptyRegularFileAt(const UniqueFd& dir, const std::string& name, std::int64_t maximumBytes) {
    // O_NONBLOCK keeps the open from hanging on a FIFO and O_NOCTTY a terminal from becoming ours;
    // the fstat below refuses both anyway.
    UniqueFd file = openAt(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    auto status = statDescriptor(file);
    if (!status || !status->isRegular() || status->size < 1 || status->size > maximumBytes) return std::nullopt;
    Bytes buffer(static_cast<std::size_t>(status->size));
    if (!readExactly(file, buffer)) return std::nullopt;
    return buffer;
}

std::filesystem::path makeTemporaryFolder(std::string_view prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + std::string(prefix) + "XXXXXX";
    if (fileSystem().makeTemporaryFolder(pattern) != 0) throwLastPosixError("mkdtemp " + inQuotes(pattern));
    return pattern;
}

std::vector<std::string> listDirectory(const std::filesystem::path& path) { return listDirectory(openDirectory(path), path); }

std::vector<std::string> listDirectory(const UniqueFd& folder, const std::filesystem::path& path) {
    std::vector<std::string> names;
    if (fileSystem().listFolder(folder.get(), names) != 0) throwLastPosixError("list " + inQuotes(path.string()));
    return names;
}

namespace {
void removeContents(int folder) noexcept {
    std::vector<std::string> names;
    if (fileSystem().listFolder(folder, names) != 0) return;
    for (const std::string& name : names) {
        if (fileSystem().unlinkAt(folder, name.c_str()) == 0 || errno != EISDIR) continue;
        UniqueFd inner(fileSystem().openAt(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
        if (inner) removeContents(inner.get());
        (void)fileSystem().unlinkAt(folder, name.c_str(), AT_REMOVEDIR);
    }
}
}  // namespace

void removeTreeIgnoringErrors(const std::filesystem::path& path) noexcept {
    UniqueFd folder(fileSystem().openAt(AT_FDCWD, entryPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (!folder) return;
    removeContents(folder.get());
    folder.reset();
    removeFolderIgnoringErrors(path);
}

std::filesystem::path entryPath(const std::filesystem::path& path) {
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

std::filesystem::path standardizedPath(const std::filesystem::path& path) {
    return entryPath(std::filesystem::absolute(path).lexically_normal());
}

void closeChecked(UniqueFd& fd, std::string_view context) {
    if (fileSystem().close(fd.release()) != 0) throwLastPosixError(context);
}

}  // namespace oakenmere::platform
