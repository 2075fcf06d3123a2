#include "LibraryBundle/preview/library_preview_summary_store.h"

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/library_file_type.h"
#include "LibraryBundle/core/library_info.h"
#include "platform/atomic_write.h"
#include "platform/file_io.h"
#include "platform/unique_fd.h"

namespace oakenmere::LibraryBundle {

using platform::Bytes;
using platform::UniqueFd;

namespace {

const std::string kSummaryName = "Summary.json";
const std::string kContactSheetName = "Summary.jpg";
constexpr std::string_view kTemporaryPrefix = ".brightloft-summary-";
constexpr std::string_view kTemporarySuffix = ".tmp";

UniqueFd openPackage(const std::filesystem::path& at) {
    if (at.empty() || !LibraryFileType::isLibraryName(at)) throw LibraryBundleError::invalidBundle();
    return platform::openDirectory(at);
}

Bytes readPackageFile(const UniqueFd& package, const std::string& name, std::int64_t limit) {
    auto bytes = platform::readNonEmptyRegularFileAt(package, name, limit);
    if (!bytes) throw LibraryBundleError::invalidBundle();
    return std::move(*bytes);
}

LibraryIdentity readIdentity(const UniqueFd& package) {
    // The preview needs only the version, identifier and name; a record without a creation
    // date is still good enough to show.
    LibraryIdentity identity = LibraryIdentity::decode(readPackageFile(package, LibraryInfo::fileName, LibraryInfo::byteLimit));
    if (identity.formatVersion != LibraryInfo::currentFormatVersion || identity.name.empty()) throw LibraryBundleError::invalidBundle();
    return identity;
}

// Any trouble with the stored summary means there is none.
std::optional<LibraryPreviewSummary> readStoredSummary(const UniqueFd& package) noexcept {
    try {
        Bytes bytes = readPackageFile(package, kSummaryName, LibraryPreviewSummaryStore::recordByteLimit);
        auto summary = LibraryPreviewSummary::decodeJSON(bytes);
        if (summary.isValid()) return summary;
    } catch (...) {
        // Missing, unreadable or damaged: the page is shown without a summary, as documented.
    }
    return std::nullopt;
}

bool isAcceptableContactSheet(const Bytes& bytes) {
    // The JPEG start-of-image marker and the first byte of the marker after it.
    return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

std::optional<Bytes> readContactSheet(const UniqueFd& package) noexcept {
    try {
        Bytes bytes = readPackageFile(package, kContactSheetName, LibraryPreviewSummaryStore::contactSheetByteLimit);
        if (isAcceptableContactSheet(bytes)) return bytes;
    } catch (...) {
        // The same for the picture: the page goes without it.
    }
    return std::nullopt;
}

void writeAtomically(const UniqueFd& package, const std::string& name, platform::ByteView bytes) {
    platform::writeFileAtomically(package, name, bytes, kTemporaryPrefix, kTemporarySuffix);
}

}  // namespace

LibraryPreview LibraryPreviewSummaryStore::read(const std::filesystem::path& at) {
    std::lock_guard serial(serial_);
    UniqueFd package = openPackage(at);
    LibraryIdentity info = readIdentity(package);

    LibraryPreview preview{info.name, readStoredSummary(package), std::nullopt};
    if (preview.summary && preview.summary->libraryID() != info.identifier) preview.summary.reset();
    // The image is only looked at while the summary says what it shows.
    if (preview.summary && preview.summary->details() && !preview.summary->details()->contactSheet.empty())
        preview.contactSheet = readContactSheet(package);
    return preview;
}

void LibraryPreviewSummaryStore::write(const LibraryPreviewSummary& summary, const std::optional<Bytes>& contactSheet,
                                       const std::filesystem::path& at) {
    std::lock_guard serial(serial_);
    if (!summary.isValid()) throw LibraryBundleError::invalidBundle();
    if (contactSheet && (contactSheet->size() > contactSheetByteLimit || !isAcceptableContactSheet(*contactSheet)))
        throw LibraryBundleError::invalidBundle();

    UniqueFd package = openPackage(at);
    LibraryIdentity info = readIdentity(package);
    if (info.identifier != summary.libraryID()) throw LibraryBundleError::invalidBundle();

    // Numbers never go backwards: an equal or newer revision of this library stays.
    auto stored = readStoredSummary(package);
    if (stored && stored->libraryID() == summary.libraryID() && stored->catalogRevision() >= summary.catalogRevision()) return;

    if (contactSheet) writeAtomically(package, kContactSheetName, *contactSheet);
    writeAtomically(package, kSummaryName, platform::asBytes(summary.encodeJSON()));
}

}  // namespace oakenmere::LibraryBundle
