#pragma once
// The only code that touches a library's preview files: "Summary.json" (the summary) and
// "Summary.jpg" (the contact sheet), beside the identity record "Info.plist".
//
// Each call opens the package folder once, names every file relative to that descriptor and
// closes everything before it returns. Nothing is followed through a symbolic link.
//
// Reading changes nothing. A summary or contact sheet that cannot be used is treated as
// absent; only a package that is not a library fails.
//
// Writing replaces each file whole by a rename within the package, so a reader in another
// process sees either the old file or the new one. A failed write leaves the earlier files as
// they were, except that a new contact sheet may already be in place when the summary fails,
// and that when the folder cannot be flushed after a rename, the failure is reported with the
// new file already in place.
// Each file is flushed before its rename and the folder after it, so a system crash (power
// loss) leaves each file old or new, whole; one between the two writes may leave the new
// contact sheet beside the old summary, as a failed write may.
//
// Calls on one store run one at a time.
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "LibraryBundle/preview/library_preview_summary.h"
#include "platform/bytes.h"

namespace oakenmere::LibraryBundle {

struct LibraryPreview {
    std::string name;  // from the identity record; never empty
    std::optional<LibraryPreviewSummary> summary;
    std::optional<platform::Bytes> contactSheet;  // JPEG bytes
};

class LibraryPreviewSummaryStore {
public:
    // Two million bytes, decimal.
    static constexpr std::size_t contactSheetByteLimit = 2'000'000;
    static constexpr std::int64_t recordByteLimit = 65'536;

    // Fails with LibraryBundleError::invalidBundle when `at` is not a library package or its
    // identity record is unusable, with a POSIX error (std::system_error) when the package or
    // its identity record cannot be opened, and with DecodingError when the identity record is
    // not a property list with "formatVersion", "identifier" and "name".
    LibraryPreview read(const std::filesystem::path& at);

    // Stores `summary` (and `contactSheet`, when given) unless the package already holds a
    // summary of the same library with an equal or higher catalogue revision, in which case
    // nothing is written and no error is raised. A stored summary that cannot be read counts as
    // none, so a failure to read it lets the write go ahead. Fails with invalidBundle for an invalid summary
    // or contact sheet, for a package that is not a library, and for a summary of another
    // library; POSIX and decoding errors pass through.
    void write(const LibraryPreviewSummary& summary, const std::optional<platform::Bytes>& contactSheet, const std::filesystem::path& at);

private:
    std::mutex serial_;
};

}  // namespace oakenmere::LibraryBundle
