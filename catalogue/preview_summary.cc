#include "catalogue/preview_summary.h"

#include <algorithm>
#include <map>

#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/maintenance/archive_folder.h"
#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "catalogue/contact_sheet.h"
#include "platform/file_io.h"

namespace oakenmere::catalogue {

using LibraryBundle::LibraryPreviewSummary;

namespace {

// What a summary write cut short by a crash left in the package. The caller has the library
// open, so no other write is under way.
void removeAbandonedSummaryFiles(const std::filesystem::path& library) noexcept {
    try {
        const platform::UniqueFd package = platform::openDirectory(library);
        for (const std::string& name : platform::listDirectory(package, library)) {
            const auto status = platform::statAtFolder(package.get(), name);
            if (name.starts_with(".brightloft-summary-") && status && status->isRegular()) platform::unlinkAtIgnoringErrors(package, name);
        }
    } catch (...) {
        // They wait for the next write; the summary itself matters more.
    }
}

// The drives originals kept outside live on, most used first, and how many cannot be reached.
void countReferenced(const Catalogue& catalogue, LibraryPreviewSummary::Details& details) {
    std::map<std::string, std::int64_t> drives;
    for (const Original& original : catalogue.originals()) {
        if (!original.location) continue;
        ++drives[LibraryBundle::ArchiveFallback::driveName(*original.location)];
        if (!LibraryBundle::ArchiveFallback::isRegularFile(*original.location)) ++details.unavailable;
    }
    for (const auto& [name, count] : drives) details.referencedPlaces.emplace_back(name, count);
    std::stable_sort(details.referencedPlaces.begin(), details.referencedPlaces.end(),
                     [](const auto& a, const auto& b) { return a.count() > b.count(); });
    if (details.referencedPlaces.size() > LibraryPreviewSummary::maximumReferencedPlaces)
        details.referencedPlaces.resize(LibraryPreviewSummary::maximumReferencedPlaces, {"", 0});
}

}  // namespace

void writePreviewSummary(const std::filesystem::path& library, const Catalogue& catalogue, const std::string& writtenBy,
                         bool unfinishedImport) {
    const Statistics numbers = catalogue.statistics();
    LibraryPreviewSummary::Details details;
    details.photos = numbers.photos;
    details.raws = numbers.raws;
    details.videos = numbers.videos;
    details.earliestCapture = numbers.earliestCapture;
    details.latestCapture = numbers.latestCapture;
    details.cameras = numbers.cameras;
    details.copiedInside = numbers.copiedInside;
    details.copiedInsideBytes = numbers.copiedInsideBytes;
    details.referenced = numbers.originals - numbers.copiedInside;
    if (details.referenced > 0) countReferenced(catalogue, details);
    details.hasUnfinishedImport = unfinishedImport;
    details.writtenBy = writtenBy;

    // The newest pictures; a few extra in case some cannot be shown.
    std::vector<ContactSheetPicture> pictures;
    for (const Original& original : catalogue.newest(2 * LibraryPreviewSummary::maximumContactSheetItems)) {
        if (original.metadata.kind != MediaKind::photo && original.metadata.kind != MediaKind::raw) continue;
        if (original.location) pictures.push_back({original.id, *original.location});
        else if (auto file = LibraryBundle::PackagePath::joined(original.relativePath, library)) pictures.push_back({original.id, *file});
    }
    std::optional<platform::Bytes> jpeg;
    if (auto sheet = makeContactSheet(pictures)) {
        details.contactSheet = sheet->ids;
        jpeg = std::move(sheet->jpeg);
    }
    const LibraryPreviewSummary summary(LibraryBundle::LibraryBundleStore::readIdentity(library).identifier, numbers.revision,
                                        numbers.originals, numbers.originals, platform::Date::now(), details);
    removeAbandonedSummaryFiles(library);
    LibraryBundle::LibraryPreviewSummaryStore().write(summary, jpeg, library);
}

}  // namespace oakenmere::catalogue
