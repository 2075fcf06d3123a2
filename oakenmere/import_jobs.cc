#include "oakenmere/import_jobs.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <set>

#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/maintenance/masters_layout.h"
#include "LibraryBundle/maintenance/staging_deletion.h"
#include "LibraryBundle/staging/camera_download.h"
#include "LibraryBundle/staging/camera_download_area.h"
#include "catalogue/preview_summary.h"
#include "oakenmere/commands.h"
#include "oakenmere/desktop.h"
#include "oakenmere/job_progress.h"
#include "oakenmere/progress_bar.h"
#include "oakenmere/version.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/json.h"

namespace oakenmere::cli {

using namespace LibraryBundle;
namespace fs = std::filesystem;
using catalogue::Catalogue;

FolderCopyJob newImportJob(const std::vector<FoundFile>& files, const fs::path& library, const std::vector<std::string>& sources) {
    FolderCopyJob job{platform::Uuid::random(), library.string(), {}, {}, {}, {}, {}};
    platform::Json options{{"sources", sources}, {"startedAt", platform::dateJson(platform::Date::now())}};
    job.importOptions = platform::toBytes(platform::encodeCompactJson(options));
    for (const FoundFile& file : files)
        job.copies.push_back(
            {file.path.string(), MastersLayout::relativePath(platform::Uuid::random(), file.path.filename().string()), file.size});
    return job;
}

namespace {

// What the job's options say of where it came from and when it began; a job of another writer
// has neither.
std::pair<std::string, platform::Date> originOf(const FolderCopyJob& job) {
    std::string sources;
    platform::Date started = platform::Date::now();
    try {
        if (job.importOptions) {
            const platform::Json options = platform::parseJson(*job.importOptions);
            for (const auto& source : options.at("sources")) sources += (sources.empty() ? "" : ", ") + source.get<std::string>();
            started = platform::Date{options.at("startedAt").get<double>()};
        }
    } catch (const std::exception&) {
        // Options this program did not write: the import is recorded without them.
    }
    return {sources, started};
}

// The ".kept-" files in a copy's capture folder.
std::vector<std::string> keptCopiesBeside(const std::string& relativePath, const fs::path& library) {
    std::vector<std::string> kept;
    const auto capture = MastersLayout::captureFolder(relativePath);
    if (!capture) return kept;
    try {
        const fs::path folder = library / *capture;
        const platform::UniqueFd package = platform::openDirectory(library);
        for (const std::string& name : platform::listDirectory(PackagePath::openInside(package, *capture, O_RDONLY | O_DIRECTORY), folder))
            if (name.starts_with(".kept-")) kept.push_back((folder / name).string());
    } catch (const std::system_error&) {
        // No folder, no kept copy.
    }
    return kept;
}

// Runs the copier with a progress bar of files and bytes: per block within a file, and per file
// as the copier moves on (a resumed job starts where its ledger says).
FolderCopyOutcome copyWithProgress(const fs::path& folder, const FolderCopyJob& job, Catalogue& catalogue, const std::stop_token& stop) {
    std::vector<std::int64_t> ends;  // running byte total at the end of each copy, in job order
    for (const FolderCopyJob::Copy& copy : job.copies) ends.push_back((ends.empty() ? 0 : ends.back()) + copy.byteCount);
    const auto filesDoneAt = [&](std::int64_t bytes) {
        return ProgressBar::Files{std::upper_bound(ends.begin(), ends.end(), bytes) - ends.begin(), static_cast<std::int64_t>(ends.size())};
    };
    ProgressBar bar("Importing", job.totalBytes(),
                    {.threshold = 0, .linesWhenNotTerminal = true, .alreadyDone = JobProgress::of(job, folder).bytesDone});
    std::int64_t settled = 0;  // bytes of the files the copier has moved past
    VerifiedFileCopy copier;
    copier.progress = [&](std::int64_t within) { bar.update(std::min(settled + within, job.totalBytes()), filesDoneAt(settled)); };
    return FolderCopier(job, folder, copier)
        .run([&](const std::string& sha) { return catalogue.isHeld(sha); },
             [&](std::int64_t done) {
                 settled = done;
                 bar.update(done, filesDoneAt(done));
             },
             stop);
}

// The source's modification time when it still holds what was copied: same size, and not modified
// since the copy was made. Its metadata is then read from it: its pages are still cached after the
// copy (the copy's were dropped when it was read back), and its time is the camera's, not the copy's.
std::optional<platform::FileStatus> unchangedSource(const FolderCopyLedger::Entry& entry) {
    try {
        const auto source = platform::lstatPath(entry.source);
        if (source && source->isRegular() && source->size == entry.size &&
            std::pair(source->modifiedSeconds, source->modifiedNanoseconds) <= std::pair(entry.modifiedSeconds, entry.modifiedNanoseconds))
            return source;
    } catch (const std::system_error&) {
        // Not there to read: the copy is.
    }
    return std::nullopt;
}

// The source's modification time as it was imported, when it can be known: a source unchanged
// since it was copied tells it, and a moved download keeps the time the camera gave it.
std::optional<std::int64_t> sourceModified(const FolderCopyLedger::Entry& entry, const FolderCopyJob& job) {
    if (const auto source = unchangedSource(entry)) return source->modifiedSeconds;
    if (job.movingDownloadsFrom) return entry.modifiedSeconds;
    return std::nullopt;
}

}  // namespace

// An interrupted earlier finish may have recorded some of them.
void recordPublished(const FolderCopyOutcome& outcome, const FolderCopyJob& job, const fs::path& library, Catalogue& catalogue,
                     ImportTotals& totals) {
    const std::string prefix = library.string() + "/";
    std::vector<catalogue::Original> originals;
    std::vector<catalogue::SourceFile> sources;
    for (const auto* entries : {&outcome.copied, &outcome.duplicates})
        for (const FolderCopyLedger::Entry& entry : *entries)
            if (const auto modified = sourceModified(entry, job))
                sources.push_back({fs::path(entry.source).filename().string(), entry.size, *modified, entry.sha256});
    for (const FolderCopyLedger::Entry& entry : outcome.copied) {
        if (!entry.destination.starts_with(prefix)) continue;
        const std::string relative = entry.destination.substr(prefix.size());
        const auto capture = MastersLayout::captureFolder(relative);
        const auto id = capture ? platform::Uuid::parse(fs::path(*capture).filename().string()) : std::nullopt;
        if (!id || catalogue.holdsPath(relative)) continue;
        catalogue::PhotoMetadata metadata;
        try {
            metadata = catalogue::readMetadata(unchangedSource(entry) ? entry.source : entry.destination);
        } catch (const std::exception&) {
            metadata.kind = catalogue::kindOf(entry.destination);
        }
        originals.push_back({*id, relative, entry.sha256, entry.size, metadata, platform::Date::now()});
        totals.publishedBytes += entry.size;
    }
    const auto [origin, started] = originOf(job);
    catalogue.record({job.id, started, platform::Date::now(), origin, static_cast<std::int64_t>(originals.size()),
                      static_cast<std::int64_t>(outcome.duplicates.size()), static_cast<std::int64_t>(outcome.failures.size())},
                     originals, sources);
    totals.published += static_cast<std::int64_t>(originals.size());
    totals.duplicates += static_cast<std::int64_t>(outcome.duplicates.size());
    totals.failures += static_cast<std::int64_t>(outcome.failures.size());
    for (const std::string& reason : outcome.failureReasons()) totals.failureReasons.push_back(reason);
}

void removeEmptyCaptureFolders(const FolderCopyJob& job, const FolderCopyOutcome& outcome, const fs::path& library) {
    std::set<std::string> kept;  // sources whose copies are in the library now
    for (const FolderCopyLedger::Entry& entry : outcome.copied) kept.insert(entry.source);
    for (const FolderCopyJob::Copy& copy : job.copies)
        if (!kept.contains(copy.source)) MastersLayout::removeEmptyCaptureFolder(copy.relativePath, library);
}

namespace {

// Deletes the downloads of a camera job that the library provably holds (the moved ones are gone
// already), and the download folder once it is empty. What cannot be proven stays.
void settleDownloads(const FolderCopyJob& job, const std::set<std::string>& failed, const fs::path& library, const Catalogue& catalogue,
                     const std::stop_token& stop) {
    // While a file failed, the folder and its record stay: the retry finds the download by that
    // record, even where it was moved into the library before the failure.
    if (!job.movingDownloadsFrom || !failed.empty()) return;
    std::set<std::string> landed;
    for (const FolderCopyJob::Copy& copy : job.copies) landed.insert(copy.source);
    const StagingDeletion deleting(library, false, [&](const std::string& sha) { return catalogue.lookup(sha); });
    try {
        CameraDownloadLedger(*job.movingDownloadsFrom).removeSettled(landed, deleting, stop);
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const std::exception&) {
        // The downloads stay where they are; the next import tries again.
    }
}

}  // namespace

void runJob(const fs::path& folder, const FolderCopyJob& job, const fs::path& library, Catalogue& catalogue, const std::stop_token& stop,
            ImportTotals& totals) {
    const FolderCopyOutcome outcome = copyWithProgress(folder, job, catalogue, stop);
    recordPublished(outcome, job, library, catalogue, totals);

    // Capture folders left empty by duplicates and failures go; a retry makes them again. One
    // holding the kept copy of a file that changed while it was copied stays, and is named.
    std::set<std::string> failed;
    for (const auto& failure : outcome.failures) failed.insert(failure.source);
    for (const FolderCopyJob::Copy& copy : job.copies)
        if (failed.contains(copy.source))
            for (const std::string& kept : keptCopiesBeside(copy.relativePath, library)) totals.keptCopies.push_back(kept);
    removeEmptyCaptureFolders(job, outcome, library);
    FolderCopyArea::finish(folder, failed, library);
    settleDownloads(job, failed, library, catalogue, stop);
}

void resumeImports(const fs::path& library, Catalogue& catalogue, const std::stop_token& stop, ImportTotals& totals) {
    FolderCopyArea::removeFinishedRemains(library);
    for (const fs::path& folder : FolderCopyArea::jobs(library))
        if (auto job = FolderCopyArea::loadForRecovery(folder)) runJob(folder, *job, library, catalogue, stop, totals);
    std::set<fs::path> waiting;  // download folders whose failed files a job will try again
    for (const fs::path& folder : FolderCopyArea::jobs(library))
        if (auto job = FolderCopyArea::loadForRecovery(folder); job && job->movingDownloadsFrom)
            waiting.insert(platform::standardizedPath(*job->movingDownloadsFrom));
    // Downloads that landed before a stop or a crash kept their job from being saved.
    for (const fs::path& found : CameraDownloadArea::folders(library)) {
        const fs::path folder = platform::standardizedPath(found);
        if (waiting.contains(folder)) continue;
        const CameraDownloadLedger ledger(folder);
        std::vector<FoundFile> files;
        try {
            for (const auto& entry : CameraDownload::settleInterrupted(ledger, stop)) files.push_back({folder / entry.path, entry.size});
        } catch (const platform::CancellationError&) {
            throw;
        } catch (const std::exception&) {
            // One folder that cannot be read does not hold up every import; it is named, and kept.
            ++totals.failures;
            totals.failureReasons.push_back("The camera downloads in \u201C" + folder.string() + "\u201D can\u2019t be read (" +
                                            FolderCopier::reason(std::current_exception()) + "); see \u201Coakenmere camera survey\u201D.");
            continue;
        }
        if (files.empty()) {
            ledger.removeIfEmpty();
            continue;
        }
        const FolderCopyJob job = newImportJob(files, library, {"Camera downloads"}).moving(folder);
        runJob(FolderCopyArea::save(job, library), job, library, catalogue, stop, totals);
    }
}

void refreshIcon(const fs::path& library) noexcept {
    try {
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) return;
        showContactSheetAsFolderIcon(library, readPreview(library.string()));
    } catch (...) {
        // The icon is a nicety; the import is done.
    }
}

fs::path jobFolder(const fs::path& library, const platform::Uuid& id) {
    for (const fs::path& folder : FolderCopyArea::jobs(library))
        if (platform::Uuid::parse(platform::entryPath(folder).filename().string()) == id) return folder;
    throw std::runtime_error("The library has no folder copy job " + id.string() + ".");
}

// A new revision each time, so the summary replaces the last even when only its unfinished-import
// flag has changed.
void writeSummary(const fs::path& library, Catalogue& catalogue) {
    catalogue.advanceRevision();
    const bool waiting = !FolderCopyArea::jobs(library).empty() || !CameraDownloadArea::folders(library).empty();
    catalogue::writePreviewSummary(library, catalogue, "Oakenmere " + std::string(kVersion), waiting);
}

void importing(const std::string& given, bool json, const ImportWork& work) {
    requireLibraryPackage(given);
    LibraryBundleStore store;
    const LibraryDescriptor descriptor = store.open(given);
    const fs::path library = platform::standardizedPath(given);
    Catalogue catalogue(library);
    ImportTotals totals;
    try {
        work(library, catalogue, totals);
    } catch (...) {
        // Stopped or failed: the preview still tells what the catalogue now holds and that an
        // import waits to be finished.
        try {
            writeSummary(library, catalogue);
        } catch (const std::exception&) {
            // The import's own error is the one to report.
        }
        throw;
    }
    writeSummary(library, catalogue);
    reportImport(totals, descriptor.name, json);
    refreshIcon(library);
    // A script that goes on to clear the card must see that something stayed behind.
    const bool leftOnCamera = totals.camera && (!totals.camera->unsafeNames.empty() || !totals.camera->kept.empty());
    // So must one that goes on to delete the folders: a folder passed over was not imported.
    if (totals.failures > 0 || !totals.unnamable.empty() || !totals.unreadableFolders.empty() || leftOnCamera) throw CLI::RuntimeError(1);
}

}  // namespace oakenmere::cli
