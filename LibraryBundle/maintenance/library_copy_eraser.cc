#include "LibraryBundle/maintenance/library_copy_eraser.h"

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/package_path.h"
#include "platform/block_reader.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"
#include "platform/sha256.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;

const char* LibraryCopyEraseRefusal::what() const noexcept {
    switch (case_) {
    case Case::otherLinks: return "It is also linked from somewhere else, so it was left as it is.";
    case Case::notAFile: return "It is not a file, so it was left as it is.";
    case Case::changed: return "It is not the file the library recorded (it was changed or replaced), so it was left as it is.";
    }
    return "";
}

namespace LibraryCopyEraser {

namespace {

// A failed call on the file, reported with its whole path so the user knows which one.
[[noreturn]] void fail(int err, std::string_view call, const fs::path& path) {
    platform::throwPosixError(platform::knownErrnoOrEIO(err), std::string(call) + " " + platform::inQuotes(path.string()));
}

std::int64_t links(const struct stat& status) { return static_cast<std::int64_t>(status.st_nlink); }

// The same entry with the same data as when it was opened: the inode, type, size and
// modification time. (The status-change time is compared after the link count, so that a link
// made meanwhile is reported as such.)
bool sameData(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && S_ISREG(b.st_mode) && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

Outcome erase(std::string_view relativePath, const std::set<std::string>& expectedSHA256, const fs::path& library,
              const std::stop_token& stop) {
    const fs::path root = platform::standardizedPath(library);
    const auto path = PackagePath::joined(relativePath, root);
    if (!path) throw VerifiedCopyError::unsafePath(std::string(relativePath));
    // The file itself is judged when it is opened: a link there is "not a file", not a bad path.
    PackagePath::rejectSymlinks(path->parent_path());

    // A package that is not there is an unreachable library (a drive gone), not an erased file.
    const platform::UniqueFd package = PackagePath::openFolder(root);
    PackagePath::EntryInside entry;
    try {
        entry = PackagePath::entryInside(package, relativePath);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ENOENT)) return Outcome::absent;
        if (platform::isPosixError(error, ELOOP)) throw VerifiedCopyError::unsafePath(path->string());  // a link swapped in since
        fail(error.code().value(), "open", path->parent_path());
    }
    const platform::UniqueFd& folder = entry.folder(package);

    platform::UniqueFd file;
    try {
        // Non-blocking, so that a FIFO put in the file's place cannot hold the open.
        file = PackagePath::openInside(folder, entry.name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ENOENT)) return Outcome::absent;
        if (platform::isPosixError(error, ELOOP)) throw LibraryCopyEraseRefusal::notAFile();
        fail(error.code().value(), "open", *path);
    }
    struct stat opened {};
    if (platform::fileSystem().stat(file.get(), opened) != 0) fail(errno, "fstat", *path);
    if (!S_ISREG(opened.st_mode)) throw LibraryCopyEraseRefusal::notAFile();
    platform::clearNonBlocking(file);
    // A link elsewhere would keep the bytes alive: that is someone else's file.
    if (links(opened) != 1) throw LibraryCopyEraseRefusal::otherLinks(links(opened));

    std::set<std::string> expected;
    for (const std::string& checksum : expectedSHA256) expected.insert(platform::lowercasedChecksum(checksum));
    if (expected.empty()) throw LibraryCopyEraseRefusal::changed();  // nothing it could be proven to be
    platform::throwIfCancelled(stop);
    if (!expected.contains(platform::sha256OfFile(file, stop))) throw LibraryCopyEraseRefusal::changed();

    struct stat now {};
    if (platform::fileSystem().statAt(folder.get(), entry.name.c_str(), now, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return Outcome::absent;  // someone else removed it meanwhile
        fail(errno, "lstat", *path);
    }
    if (!sameData(opened, now)) throw LibraryCopyEraseRefusal::changed();
    if (links(now) != 1) throw LibraryCopyEraseRefusal::otherLinks(links(now));
    // Rewritten and given its old modification time back shows only here.
    if (opened.st_ctim.tv_sec != now.st_ctim.tv_sec || opened.st_ctim.tv_nsec != now.st_ctim.tv_nsec)
        throw LibraryCopyEraseRefusal::changed();
    platform::throwIfCancelled(stop);

    if (platform::fileSystem().unlinkAt(folder.get(), entry.name.c_str()) != 0) {
        if (errno == ENOENT) return Outcome::absent;
        fail(errno, "unlink", *path);
    }
    return Outcome::erased;
}

std::map<std::string, Result> erase(const std::map<std::string, std::set<std::string>>& files, const fs::path& library, int width,
                                    const std::stop_token& stop) {
    // The map keeps its paths in ascending order; workers take them in that order.
    std::vector<std::map<std::string, std::set<std::string>>::const_iterator> entries;
    for (auto entry = files.begin(); entry != files.end(); ++entry) entries.push_back(entry);
    std::vector<Result> results(entries.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&]() noexcept {
        for (std::size_t i = next++; i < entries.size(); i = next++) {
            try {
                results[i] = erase(entries[i]->first, entries[i]->second, library, stop);
            } catch (...) {
                results[i] = std::current_exception();
            }
        }
    };
    {
        const std::size_t workers = std::min<std::size_t>(static_cast<std::size_t>(std::max(width, 1)), entries.size());
        std::vector<std::jthread> pool;
        for (std::size_t i = 1; i < workers; ++i) try {
                pool.emplace_back(work);
            } catch (...) {
                break;  // no thread to be had: the ones running share the rest
            }
        work();
    }
    std::map<std::string, Result> out;
    for (std::size_t i = 0; i < entries.size(); ++i) out.emplace(entries[i]->first, std::move(results[i]));
    return out;
}

}  // namespace LibraryCopyEraser

}  // namespace oakenmere::LibraryBundle
