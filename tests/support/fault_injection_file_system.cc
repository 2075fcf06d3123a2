#include "support/fault_injection_file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace oakenmere::testing {

namespace fs = std::filesystem;
using Call = FaultInjectionFileSystem::Call;

std::string_view FaultInjectionFileSystem::name(Call call) {
    static constexpr std::array<std::string_view, kinds> kNames{"open", "close",  "read",       "write", "flush", "hint", "rename",
                                                                "link", "unlink", "makeFolder", "lock",  "stat",  "other"};
    return kNames[static_cast<std::size_t>(call)];
}

FaultInjectionFileSystem::FaultInjectionFileSystem() : previous_(platform::useFileSystemForTesting(this)) {}

FaultInjectionFileSystem::~FaultInjectionFileSystem() {
    platform::useFileSystemForTesting(previous_);
    for (auto& [key, state] : data_) ::close(state.fd);
}

void FaultInjectionFileSystem::fail(Call kind, int nth, int err) {
    std::lock_guard lock(mutex_);
    failures_[{kind, nth}] = err;
}

void FaultInjectionFileSystem::shorten(Call kind, int nth, std::size_t bytes) {
    std::lock_guard lock(mutex_);
    shortenings_[{kind, nth}] = bytes;
}

void FaultInjectionFileSystem::beforeCall(Call kind, int nth, std::function<void()> action) {
    std::lock_guard lock(mutex_);
    actions_[{kind, nth}] = std::move(action);
}

void FaultInjectionFileSystem::refuseUnnamedFiles() {
    std::lock_guard lock(mutex_);
    refuseUnnamed_ = true;
}

void FaultInjectionFileSystem::crashAfter(int calls) {
    std::lock_guard lock(mutex_);
    crashAfter_ = calls;
}

int FaultInjectionFileSystem::count(Call kind) const {
    std::lock_guard lock(mutex_);
    auto found = counts_.find(kind);
    return found == counts_.end() ? 0 : found->second;
}

int FaultInjectionFileSystem::total() const {
    std::lock_guard lock(mutex_);
    return total_;
}

FaultInjectionFileSystem::Verdict FaultInjectionFileSystem::next(Call kind) {
    std::function<void()> action;
    Verdict verdict;
    {
        std::lock_guard lock(mutex_);
        const int nth = ++counts_[kind];
        ++total_;
        if (crashAfter_ && total_ > *crashAfter_) return {EIO, std::nullopt};
        if (auto found = failures_.find({kind, nth}); found != failures_.end()) verdict.error = found->second;
        if (auto found = shortenings_.find({kind, nth}); found != shortenings_.end()) verdict.limit = found->second;
        if (auto found = actions_.find({kind, nth}); found != actions_.end()) action = std::move(found->second);
    }
    if (action) action();  // outside the lock, so that it may take its time
    return verdict;
}

int FaultInjectionFileSystem::refuse(int err) noexcept {
    errno = err;
    return -1;
}

template <class RealCall>
auto FaultInjectionFileSystem::passed(Call kind, RealCall&& call) noexcept -> decltype(call()) {
    if (Verdict v = next(kind); v.error) return refuse(v.error);
    return call();
}

fs::path FaultInjectionFileSystem::folderPath(int folder) {
    std::error_code ignored;  // an empty path matches no folder, which only weakens a power cut
    if (folder == AT_FDCWD) return fs::current_path(ignored);
    return fs::read_symlink("/proc/self/fd/" + std::to_string(folder), ignored);
}

fs::path FaultInjectionFileSystem::entry(int folder, const char* path) {
    fs::path given(path);
    std::string text = given.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();  // "a/b/" is the entry "b"
    const fs::path full = (given.is_absolute() ? fs::path(text) : folderPath(folder) / text).lexically_normal();
    std::error_code ignored;  // as in folderPath
    return fs::weakly_canonical(full.parent_path(), ignored) / full.filename();
}

std::optional<FaultInjectionFileSystem::Saved> FaultInjectionFileSystem::save(const fs::path& path) {
    std::error_code error;
    auto status = fs::symlink_status(path, error);
    if (error) return std::nullopt;
    Saved saved{{}, status.permissions(), fs::is_directory(status)};
    if (fs::is_regular_file(status)) {
        std::ifstream in(path, std::ios::binary);
        saved.bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    return saved;
}

void FaultInjectionFileSystem::restore(const fs::path& path, const Saved& saved) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
    if (saved.isFolder) {
        fs::create_directory(path, ignored);
    } else {
        std::ofstream(path, std::ios::binary) << saved.bytes;
    }
    fs::permissions(path, saved.permissions, ignored);
}

void FaultInjectionFileSystem::noteWritten(int fd, bool created) {
    struct stat st {};
    if (PosixFileSystem::statOnce(fd, st) != 0) return;
    std::lock_guard lock(mutex_);
    auto [it, isNew] = data_.try_emplace({st.st_dev, st.st_ino});
    DataState& state = it->second;
    if (isNew) {
        // A description of our own, not a duplicate: a duplicate would share the file's flock.
        state.fd = PosixFileSystem::openAtOnce(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_CLOEXEC, 0);
        // What was there before we first wrote is taken as durable.
        state.flushedSize = created ? 0 : st.st_size;
    }
    state.dirty = true;
}

void FaultInjectionFileSystem::noteFlushed(int fd) {
    struct stat st {};
    if (PosixFileSystem::statOnce(fd, st) != 0) return;
    std::lock_guard lock(mutex_);
    if (auto found = data_.find({st.st_dev, st.st_ino}); found != data_.end()) {
        found->second.flushedSize = st.st_size;
        found->second.dirty = false;
    }
    if (S_ISDIR(st.st_mode)) {
        const fs::path folder = folderPath(fd);
        for (EntryChange& change : entries_)
            if (change.path.parent_path() == folder) change.durable = true;
    }
}

void FaultInjectionFileSystem::noteEntry(EntryChange change) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(change));
}

void FaultInjectionFileSystem::noteMade(int folder, const char* path) noexcept {
    const int err = errno;
    try {
        noteEntry({EntryChange::Kind::made, entry(folder, path), {}, std::nullopt});
    } catch (...) {
        // Bookkeeping that failed only weakens a later power cut; the call itself succeeded.
    }
    errno = err;
}

void FaultInjectionFileSystem::losePower() {
    std::lock_guard lock(mutex_);
    for (auto& [key, state] : data_)
        if (state.dirty && state.fd >= 0 && ::ftruncate(state.fd, state.flushedSize) != 0)
            throw std::runtime_error("cutting back a file after a power cut failed");
    for (auto change = entries_.rbegin(); change != entries_.rend(); ++change) {
        if (change->durable) continue;
        std::error_code ignored;
        switch (change->kind) {
        case EntryChange::Kind::made: fs::remove_all(change->path, ignored); break;
        case EntryChange::Kind::removed:
            if (change->before) restore(change->path, *change->before);
            break;
        case EntryChange::Kind::renamed:
            fs::rename(change->path, change->from, ignored);
            if (change->before) restore(change->path, *change->before);
            break;
        }
    }
    entries_.clear();
    for (auto& [key, state] : data_) ::close(state.fd);
    data_.clear();
}

// The calls. Each asks for its verdict, then makes the real call and notes what it changed.

int FaultInjectionFileSystem::openAtOnce(int folder, const char* path, int flags, mode_t mode) noexcept {
    if (Verdict v = next(Call::open); v.error) return refuse(v.error);
    if ((flags & O_TMPFILE) == O_TMPFILE && refuseUnnamed_) return refuse(EOPNOTSUPP);
    const bool mayCreate = (flags & O_CREAT) != 0;
    struct stat before {};
    const bool existed = mayCreate && PosixFileSystem::statAtOnce(folder, path, before, AT_SYMLINK_NOFOLLOW) == 0;
    const int fd = PosixFileSystem::openAtOnce(folder, path, flags, mode);
    if (fd < 0) return fd;
    if (mayCreate && !existed && (flags & O_TMPFILE) != O_TMPFILE) noteMade(folder, path);
    if ((flags & O_TMPFILE) == O_TMPFILE || (mayCreate && !existed)) noteWritten(fd, true);
    return fd;
}

int FaultInjectionFileSystem::openBeneathOnce(int folder, const char* path, int flags, mode_t mode) noexcept {
    return passed(Call::open, [&] { return PosixFileSystem::openBeneathOnce(folder, path, flags, mode); });
}
int FaultInjectionFileSystem::closeOnce(int fd) noexcept {
    const Verdict v = next(Call::close);
    const int rc = PosixFileSystem::closeOnce(fd);  // the descriptor goes whatever is answered
    return v.error ? refuse(v.error) : rc;
}

template <class RealCall>
ssize_t FaultInjectionFileSystem::moved(Call kind, int fd, std::size_t size, RealCall&& call) noexcept {
    const Verdict v = next(kind);
    if (v.error) return refuse(v.error);
    const ssize_t n = call(std::min(size, v.limit.value_or(size)));
    if (n > 0 && kind == Call::write) noteWritten(fd, false);
    return n;
}

ssize_t FaultInjectionFileSystem::readOnce(int fd, void* buffer, std::size_t size) noexcept {
    return moved(Call::read, fd, size, [&](std::size_t n) { return PosixFileSystem::readOnce(fd, buffer, n); });
}

ssize_t FaultInjectionFileSystem::readAtOnce(int fd, void* buffer, std::size_t size, off_t offset) noexcept {
    return moved(Call::read, fd, size, [&](std::size_t n) { return PosixFileSystem::readAtOnce(fd, buffer, n, offset); });
}

ssize_t FaultInjectionFileSystem::writeOnce(int fd, const void* bytes, std::size_t size) noexcept {
    return moved(Call::write, fd, size, [&](std::size_t n) { return PosixFileSystem::writeOnce(fd, bytes, n); });
}

ssize_t FaultInjectionFileSystem::writeAtOnce(int fd, const void* bytes, std::size_t size, off_t offset) noexcept {
    return moved(Call::write, fd, size, [&](std::size_t n) { return PosixFileSystem::writeAtOnce(fd, bytes, n, offset); });
}

// The flushes are only noted, never made: this file system keeps its own account of what is
// durable, and real flushes would make every sweep wait on the disk.
int FaultInjectionFileSystem::flushOnce(int fd) noexcept {
    if (Verdict v = next(Call::flush); v.error) return refuse(v.error);
    struct stat st {};
    if (PosixFileSystem::statOnce(fd, st) != 0) return -1;  // EBADF, as fsync would say
    noteFlushed(fd);
    return 0;
}

int FaultInjectionFileSystem::flushDataOnce(int fd) noexcept { return flushOnce(fd); }

int FaultInjectionFileSystem::startWritebackOnce(int fd, off_t offset, off_t length) noexcept {
    return passed(Call::hint, [&] { return PosixFileSystem::startWritebackOnce(fd, offset, length); });
}
int FaultInjectionFileSystem::adviseOnce(int fd, off_t offset, off_t length, int advice) noexcept {
    return passed(Call::hint, [&] { return PosixFileSystem::adviseOnce(fd, offset, length, advice); });
}
int FaultInjectionFileSystem::renameAtOnce(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) noexcept {
    if (Verdict v = next(Call::rename); v.error) return refuse(v.error);
    try {
        const fs::path source = entry(fromFolder, from), target = entry(toFolder, to);
        std::optional<Saved> replaced = save(target);
        const int rc = PosixFileSystem::renameAtOnce(fromFolder, from, toFolder, to, flags);
        if (rc == 0) noteEntry({EntryChange::Kind::renamed, target, source, std::move(replaced)});
        return rc;
    } catch (...) {
        return refuse(ENOMEM);
    }
}

int FaultInjectionFileSystem::linkAtOnce(int fromFolder, const char* from, int toFolder, const char* to, int flags) noexcept {
    if (Verdict v = next(Call::link); v.error) return refuse(v.error);
    const int rc = PosixFileSystem::linkAtOnce(fromFolder, from, toFolder, to, flags);
    if (rc != 0) return rc;
    noteMade(toFolder, to);
    return 0;
}

int FaultInjectionFileSystem::unlinkAtOnce(int folder, const char* name, int flags) noexcept {
    if (Verdict v = next(Call::unlink); v.error) return refuse(v.error);
    try {
        const fs::path path = entry(folder, name);
        std::optional<Saved> removed = save(path);
        const int rc = PosixFileSystem::unlinkAtOnce(folder, name, flags);
        if (rc == 0) noteEntry({EntryChange::Kind::removed, path, {}, std::move(removed)});
        return rc;
    } catch (...) {
        return refuse(ENOMEM);
    }
}

int FaultInjectionFileSystem::makeFolderAtOnce(int folder, const char* name, mode_t mode) noexcept {
    if (Verdict v = next(Call::makeFolder); v.error) return refuse(v.error);
    const int rc = PosixFileSystem::makeFolderAtOnce(folder, name, mode);
    if (rc != 0) return rc;
    noteMade(folder, name);
    return 0;
}

int FaultInjectionFileSystem::lockOnce(int fd, int operation) noexcept {
    return passed(Call::lock, [&] { return PosixFileSystem::lockOnce(fd, operation); });
}
int FaultInjectionFileSystem::setTimesOnce(int fd, const struct timespec times[2]) noexcept {
    return passed(Call::other, [&] { return PosixFileSystem::setTimesOnce(fd, times); });
}
int FaultInjectionFileSystem::flushVolumeOnce(int fd) noexcept {
    return passed(Call::flush, [&] { return PosixFileSystem::flushVolumeOnce(fd); });
}
int FaultInjectionFileSystem::statAtOnce(int folder, const char* path, struct stat& out, int flags) noexcept {
    return passed(Call::stat, [&] { return PosixFileSystem::statAtOnce(folder, path, out, flags); });
}
int FaultInjectionFileSystem::statOnce(int fd, struct stat& out) noexcept {
    return passed(Call::stat, [&] { return PosixFileSystem::statOnce(fd, out); });
}
int FaultInjectionFileSystem::statVolumeOnce(const char* path, struct statfs& out) noexcept {
    return passed(Call::stat, [&] { return PosixFileSystem::statVolumeOnce(path, out); });
}
int FaultInjectionFileSystem::controlOnce(int fd, int command, int argument) noexcept {
    return passed(Call::other, [&] { return PosixFileSystem::controlOnce(fd, command, argument); });
}
int FaultInjectionFileSystem::listFolderOnce(int fd, std::vector<std::string>& names) noexcept {
    return passed(Call::other, [&] { return PosixFileSystem::listFolderOnce(fd, names); });
}
int FaultInjectionFileSystem::resolveOnce(const char* path, std::string& out) noexcept {
    return passed(Call::other, [&] { return PosixFileSystem::resolveOnce(path, out); });
}
int FaultInjectionFileSystem::readLinkAtOnce(int folder, const char* path, std::string& out) noexcept {
    return passed(Call::stat, [&] { return PosixFileSystem::readLinkAtOnce(folder, path, out); });
}
int FaultInjectionFileSystem::makeSymbolicLinkAtOnce(const char* destination, int folder, const char* name) noexcept {
    if (Verdict v = next(Call::link); v.error) return refuse(v.error);
    const int rc = PosixFileSystem::makeSymbolicLinkAtOnce(destination, folder, name);
    if (rc != 0) return rc;
    noteMade(folder, name);
    return 0;
}
int FaultInjectionFileSystem::makeTemporaryFolderOnce(std::string& pattern) noexcept {
    return passed(Call::other, [&] { return PosixFileSystem::makeTemporaryFolderOnce(pattern); });
}
std::string InjectedFault::describe() const {
    return "call " + std::to_string(nth) + " of " + std::string(FaultInjectionFileSystem::name(call)) + " fails with " +
           strerrorname_np(error);
}

void sweepFaults(const std::function<void()>& prepare, const std::function<void()>& operation,
                 const std::function<void(const InjectedFault&, std::exception_ptr)>& check, const std::vector<int>& errors,
                 const std::function<void(FaultInjectionFileSystem&)>& configure) {
    std::map<Call, int> counts;
    prepare();
    {
        FaultInjectionFileSystem counting;
        if (configure) configure(counting);
        operation();
        for (std::size_t kind = 0; kind < FaultInjectionFileSystem::kinds; ++kind) counts[Call(kind)] = counting.count(Call(kind));
    }
    for (auto [call, count] : counts) {
        for (int nth = 1; nth <= count; ++nth) {
            for (int error : errors) {
                const InjectedFault fault{call, nth, error};
                prepare();
                std::exception_ptr thrown;
                {
                    FaultInjectionFileSystem failing;
                    if (configure) configure(failing);
                    failing.fail(call, nth, error);
                    try {
                        operation();
                    } catch (...) {
                        thrown = std::current_exception();
                    }
                }
                if (error == EINTR && thrown) throw std::runtime_error("an interrupted call was not tried again: " + fault.describe());
                check(fault, thrown);
            }
        }
    }
}

void sweepPowerCuts(const std::function<void()>& prepare, const std::function<void()>& operation,
                    const std::function<void(int calls)>& check, const std::function<void(FaultInjectionFileSystem&)>& configure) {
    prepare();
    int total = 0;
    {
        FaultInjectionFileSystem counting;
        if (configure) configure(counting);
        operation();
        total = counting.total();
    }
    for (int calls = 0; calls <= total; ++calls) {
        prepare();
        {
            FaultInjectionFileSystem dying;
            if (configure) configure(dying);
            dying.crashAfter(calls);
            try {
                operation();
            } catch (...) {
                // A process that dies says nothing; what matters is what the disk keeps.
            }
            dying.losePower();
        }
        check(calls);
    }
}

}  // namespace oakenmere::testing
