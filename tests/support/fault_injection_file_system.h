#pragma once
// A file system that stands in for the real one while it lives. Every call is made on the real
// disk, but a chosen call can fail with a chosen errno or move fewer bytes, the process can
// "die" after a number of calls, and a power cut can then be simulated: what no flush made
// durable is forgotten.
//
// Durability follows the strict reading of POSIX: a file's data and size are durable up to its
// last fsync or fdatasync, and an entry made, renamed or removed in a folder only once that
// folder has been flushed.
#include <array>
#include <atomic>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace oakenmere::testing {

class FaultInjectionFileSystem : public platform::PosixFileSystem {
public:
    enum class Call { open, close, read, write, flush, hint, rename, link, unlink, makeFolder, lock, stat, other };
    static constexpr std::size_t kinds = static_cast<std::size_t>(Call::other) + 1;
    static std::string_view name(Call call);

    FaultInjectionFileSystem();  // in use from here on, by every thread
    ~FaultInjectionFileSystem() override;
    FaultInjectionFileSystem(const FaultInjectionFileSystem&) = delete;
    FaultInjectionFileSystem& operator=(const FaultInjectionFileSystem&) = delete;

    // The nth call of `kind` since this object was made (1: the first) fails with `err` without
    // being made. EINTR is answered by the door trying again, which counts as the next call.
    void fail(Call kind, int nth, int err);
    // The nth read or write moves at most `bytes` bytes.
    void shorten(Call kind, int nth, std::size_t bytes);
    // Runs `action` just before the nth call of `kind` is made (or refused): tests change a file
    // at exactly that moment. The action must not itself use the door.
    void beforeCall(Call kind, int nth, std::function<void()> action);
    // Acts as a file system that has no unnamed (O_TMPFILE) files.
    void refuseUnnamedFiles();
    // Every call after the first `calls` fails with EIO without being made, as if the process
    // had died there; close still releases the descriptor, as the kernel would.
    void crashAfter(int calls);

    int count(Call kind) const;
    int total() const;

    // Forgets what was not durable: files are cut back to their size at their last flush, and
    // entries made, renamed or removed in a folder not flushed since are put back as they were.
    void losePower();

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

private:
    struct Verdict {
        int error = 0;                     // fail with this, without making the call
        std::optional<std::size_t> limit;  // move at most this many bytes
    };
    // A file as it was before a change, to put back after a power cut.
    struct Saved {
        std::string bytes;
        std::filesystem::perms permissions;
        bool isFolder = false;
    };
    struct EntryChange {
        enum class Kind { made, removed, renamed } kind;
        std::filesystem::path path;   // the entry made, removed, or renamed to
        std::filesystem::path from;   // for a rename
        std::optional<Saved> before;  // what `path` held before (removed, or replaced by a rename)
        bool durable = false;
    };

    Verdict next(Call kind);
    int refuse(int err) noexcept;
    // The real call, unless its verdict refuses it.
    template <class RealCall>
    auto passed(Call kind, RealCall&& call) noexcept -> decltype(call());
    static std::filesystem::path folderPath(int folder);
    static std::filesystem::path entry(int folder, const char* path);
    static std::optional<Saved> save(const std::filesystem::path& path);
    static void restore(const std::filesystem::path& path, const Saved& saved);
    void noteWritten(int fd, bool created);
    void noteFlushed(int fd);
    void noteEntry(EntryChange change);
    void noteMade(int folder, const char* path) noexcept;
    template <class RealCall>
    ssize_t moved(Call kind, int fd, std::size_t size, RealCall&& call) noexcept;

    mutable std::mutex mutex_;
    platform::FileSystem* previous_;
    std::map<Call, int> counts_;
    int total_ = 0;
    std::optional<int> crashAfter_;
    std::map<std::pair<Call, int>, int> failures_;
    std::map<std::pair<Call, int>, std::size_t> shortenings_;
    std::map<std::pair<Call, int>, std::function<void()>> actions_;
    std::atomic<bool> refuseUnnamed_{false};
    // By (device, inode): a descriptor of our own for cutting the file back, and its durable size.
    struct DataState {
        int fd = -1;
        off_t flushedSize = 0;
        bool dirty = false;
    };
    std::map<std::pair<dev_t, ino_t>, DataState> data_;
    std::vector<EntryChange> entries_;
};

// The errors a disk or its owner can answer any call with; EINTR is answered by trying again.
inline const std::vector<int> kDiskErrors{EIO, ENOSPC, EDQUOT, EACCES, EROFS, EINTR};

struct InjectedFault {
    FaultInjectionFileSystem::Call call;
    int nth;
    int error;
    std::string describe() const;  // "the 3rd flush fails with ENOSPC"
};

// Runs `operation` on a fresh `prepare()` once to count its calls, then again for each call it
// made and each of `errors`, with that call failing. `check` sees the fault and what the
// operation threw (nullptr when it succeeded); a fault of EINTR must change nothing, so the
// operation must succeed. `configure` sets up each file system put in place (refuseUnnamedFiles).
void sweepFaults(const std::function<void()>& prepare, const std::function<void()>& operation,
                 const std::function<void(const InjectedFault&, std::exception_ptr)>& check, const std::vector<int>& errors = kDiskErrors,
                 const std::function<void(FaultInjectionFileSystem&)>& configure = {});

// Runs `operation` on a fresh `prepare()` once for each number of calls it makes, dying after
// that many, then cuts the power; `check` then sees what is left on the disk.
void sweepPowerCuts(const std::function<void()>& prepare, const std::function<void()>& operation,
                    const std::function<void(int calls)>& check, const std::function<void(FaultInjectionFileSystem&)>& configure = {});

}  // namespace oakenmere::testing
