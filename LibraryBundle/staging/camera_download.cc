#include "LibraryBundle/staging/camera_download.h"

#include <fcntl.h>
#include <stdexcept>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/staging/camera_download_area.h"
#include "platform/quoted.h"
#include "platform/text.h"

namespace oakenmere::LibraryBundle::CameraDownload {

namespace fs = std::filesystem;

CameraDownloadLedger::Entry download(const CameraDownloadLedger& ledger, std::string_view relativePath, std::optional<Time> modified,
                                     const Writer& write) {
    const auto final = PackagePath::joined(relativePath, ledger.folder());
    // The folder's own names: a file landing as the ledger, or as a partial file, would be lost.
    if (!final || *final == platform::standardizedPath(ledger.folder()) || final->filename() == CameraDownloadLedger::fileName ||
        CameraDownloadArea::isPartial(*final))
        throw VerifiedCopyError::unsafePath(std::string(relativePath));
    if (!platform::isValidUtf8(relativePath))
        throw std::invalid_argument("\u201C" + platform::escapingInvalidUtf8(std::string(relativePath)) +
                                    "\u201D is not a UTF-8 name, which the ledger cannot record.");
    // Folders are made before the check, so a link someone put on the way is found, not followed.
    platform::makeFolderTree(final->parent_path(), 0755);
    PackagePath::rejectSymlinks(final->parent_path());
    const fs::path partial = final->parent_path() / CameraDownloadArea::partialName(final->filename().string());
    platform::UniqueFd file = platform::openPath(partial, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    try {
        write(file);
        if (modified)
            platform::setModificationTime(file, modified->seconds, modified->nanoseconds,
                                          "futimens " + platform::inQuotes(partial.string()));
        ledger.synchronizing()(file.get());
        platform::closeChecked(file, "close " + platform::inQuotes(partial.string()));
        return ledger.land(partial, *final);
    } catch (...) {
        file.reset();
        platform::unlinkIgnoringErrors(partial);  // ours, made exclusively; gone already once landed
        throw;
    }
}

std::vector<CameraDownloadLedger::Entry> settleInterrupted(const CameraDownloadLedger& ledger, const std::stop_token& stop) {
    // Where a name can only be claimed by an empty placeholder that the partial file then
    // replaces, a kill between the two leaves that placeholder: it is not a landed file.
    const auto recorded = ledger.entries();
    for (const std::string& partial : CameraDownloadArea::survey(ledger.folder()).partial) {
        const fs::path path(partial);
        const fs::path final = path.parent_path() / path.filename().string().substr(CameraDownloadArea::partialPrefix.size());
        const auto status = platform::lstatPath(final);
        if (status && status->isRegular() && status->size == 0 && !recorded.contains(final.string())) platform::unlinkIgnoringErrors(final);
    }
    const auto [entries, survey] = ledger.recordingUnlisted(stop);
    for (const std::string& partial : survey.partial) platform::unlinkIgnoringErrors(partial);
    std::vector<CameraDownloadLedger::Entry> landed;
    for (const std::string& path : survey.complete)
        if (auto entry = entries.find(path); entry != entries.end()) landed.push_back(entry->second);
    return landed;
}

}  // namespace oakenmere::LibraryBundle::CameraDownload
