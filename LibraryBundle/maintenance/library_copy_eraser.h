#pragma once
// Deletes the library's own copy of an original, one file or a batch, and only when the file on
// disk is provably the one the library recorded: a regular file with no other link, whose SHA-256
// (read once, through the descriptor that was checked) is one of the expected values, and which is
// still the same unchanged entry just before it is unlinked. Anything else is refused with a
// reason the user sees, and the file is left as it is.
//
// The package folder is opened once with no symbolic link on its path, and the file is opened,
// checked again and unlinked relative to its open folder, so a link swapped in on the way cannot
// redirect any of these calls. One window remains: a different file renamed onto the name between
// the last check and the unlink is removed in its place; Linux has no unlink by descriptor.
//
// Stateless; the single erase may run on any thread.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <variant>

namespace oakenmere::LibraryBundle {

// Why a file of the library was not erased; what() is the message shown to the user.
class LibraryCopyEraseRefusal : public std::exception {
public:
    enum class Case { otherLinks, notAFile, changed };

    static LibraryCopyEraseRefusal otherLinks(std::int64_t linkCount) { return LibraryCopyEraseRefusal(Case::otherLinks, linkCount); }
    static LibraryCopyEraseRefusal notAFile() { return LibraryCopyEraseRefusal(Case::notAFile); }
    static LibraryCopyEraseRefusal changed() { return LibraryCopyEraseRefusal(Case::changed); }

    Case kind() const noexcept { return case_; }
    // Payload of otherLinks: the file's link count when it was refused.
    std::int64_t linkCount() const noexcept { return linkCount_; }

    const char* what() const noexcept override;
    friend bool operator==(const LibraryCopyEraseRefusal& a, const LibraryCopyEraseRefusal& b) noexcept {
        return a.case_ == b.case_ && a.linkCount_ == b.linkCount_;
    }

private:
    explicit LibraryCopyEraseRefusal(Case c, std::int64_t linkCount = 0) : case_(c), linkCount_(linkCount) {}

    Case case_;
    std::int64_t linkCount_;
};

namespace LibraryCopyEraser {

enum class Outcome {
    erased,  // the file was deleted
    absent,  // there was no file at the path (before, or by the time of deletion): nothing to do
};

// One path's result in a batch: its outcome, or what refused or failed it.
using Result = std::variant<Outcome, std::exception_ptr>;

// Erases `relativePath` inside the package `library` if its SHA-256 is one of `expectedSHA256`
// (either case). Throws LibraryCopyEraseRefusal; VerifiedCopyError::unsafePath for a path that is
// not a safe relative path or that passes through a symbolic link; std::system_error for a failing
// call (a package folder that is not there is ENOENT, not `absent`); platform::CancellationError.
Outcome erase(std::string_view relativePath, const std::set<std::string>& expectedSHA256, const std::filesystem::path& library,
              const std::stop_token& stop = {});

// Erases every file of `files` (relative path to its expected checksums), at most `width` at once
// (1 when `width` is less than 2), starting them in ascending order of path. Never throws for a
// path: each path's result is in the answer, one per path given.
std::map<std::string, Result> erase(const std::map<std::string, std::set<std::string>>& files, const std::filesystem::path& library,
                                    int width, const std::stop_token& stop = {});

}  // namespace LibraryCopyEraser

}  // namespace oakenmere::LibraryBundle
