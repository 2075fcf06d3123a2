// `import [FOLDER...] LIBRARY`: copies the photos, RAW files and videos found in folders into the
// library, each verified and under its own capture folder, records them in the catalogue and
// brings the preview up to date. An import stopped by Ctrl-C, a crash or a full disk is resumed
// by the next import of the library, with or without folders; files that failed are tried again.
#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/maintenance/masters_layout.h"
#include "LibraryBundle/staging/folder_copier.h"
#include "catalogue/catalogue.h"
#include "catalogue/preview_summary.h"
#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
#include "oakenmere/desktop.h"
#include "oakenmere/import_report.h"
#include "oakenmere/import_sources.h"
#include "oakenmere/job_progress.h"
#include "oakenmere/output.h"
#include "oakenmere/progress_bar.h"
#include "oakenmere/version.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/json.h"
#include "platform/printable.h"
#include "platform/text.h"

namespace oakenmere::cli {

namespace {

using namespace LibraryBundle;
namespace fs = std::filesystem;
using catalogue::Catalogue;

// A job that copies each file into a capture folder of its own under "Masters".
FolderCopyJob newJob(const std::vector<FoundFile>& files, const fs::path& library, const std::vector<std::string>& sources) {
    FolderCopyJob job{platform::Uuid::random(), library.string(), {}, {}, {}, {}, {}};
    platform::Json options{{"sources", sources}, {"startedAt", platform::dateJson(platform::Date::now())}};
    job.importOptions = platform::toBytes(platform::encodeCompactJson(options));
    for (const FoundFile& file : files)
        job.copies.push_back(
            {file.path.string(), MastersLayout::relativePath(platform::Uuid::random(), file.path.filename().string()), file.size});
    return job;
}

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

// Whether the source still holds what was copied: same size, and not modified since the copy was
// made. Its metadata is then read from it: its pages are still cached after the copy (the copy's
// were dropped when it was read back), and its modification time is the camera's, not the copy's.
bool unchangedSinceCopied(const FolderCopyLedger::Entry& entry) {
    try {
        const auto source = platform::lstatPath(entry.source);
        return source && source->isRegular() && source->size == entry.size &&
               std::pair(source->modifiedSeconds, source->modifiedNanoseconds) <=
                   std::pair(entry.modifiedSeconds, entry.modifiedNanoseconds);
    } catch (const std::system_error&) {
        return false;
    }
}

// Records in one transaction the originals the job published into the library that the catalogue
// does not hold yet (an interrupted earlier finish may have recorded some), with their metadata.
void record(const FolderCopyOutcome& outcome, const FolderCopyJob& job, const fs::path& library, Catalogue& catalogue,
            ImportTotals& totals) {
    const std::string prefix = library.string() + "/";
    std::vector<catalogue::Original> originals;
    for (const FolderCopyLedger::Entry& entry : outcome.copied) {
        if (!entry.destination.starts_with(prefix)) continue;
        const std::string relative = entry.destination.substr(prefix.size());
        const auto capture = MastersLayout::captureFolder(relative);
        const auto id = capture ? platform::Uuid::parse(fs::path(*capture).filename().string()) : std::nullopt;
        if (!id || catalogue.holdsPath(relative)) continue;
        catalogue::PhotoMetadata metadata;
        try {
            metadata = catalogue::readMetadata(unchangedSinceCopied(entry) ? entry.source : entry.destination);
        } catch (const std::exception&) {
            metadata.kind = catalogue::kindOf(entry.destination);
        }
        originals.push_back({*id, relative, entry.sha256, entry.size, metadata, platform::Date::now()});
        totals.publishedBytes += entry.size;
    }
    const auto [sources, started] = originOf(job);
    catalogue.record({job.id, started, platform::Date::now(), sources, static_cast<std::int64_t>(originals.size()),
                      static_cast<std::int64_t>(outcome.duplicates.size()), static_cast<std::int64_t>(outcome.failures.size())},
                     originals);
    totals.published += static_cast<std::int64_t>(originals.size());
    totals.duplicates += static_cast<std::int64_t>(outcome.duplicates.size());
    totals.failures += static_cast<std::int64_t>(outcome.failures.size());
    for (const std::string& reason : outcome.failureReasons()) totals.failureReasons.push_back(reason);
}

// The capture folders of the job's files that did not come in, when nothing is left in them.
void removeEmptyCaptureFolders(const FolderCopyJob& job, const FolderCopyOutcome& outcome, const fs::path& library) {
    std::set<std::string> kept;  // sources whose copies are in the library now
    for (const FolderCopyLedger::Entry& entry : outcome.copied) kept.insert(entry.source);
    for (const FolderCopyJob::Copy& copy : job.copies)
        if (!kept.contains(copy.source)) MastersLayout::removeEmptyCaptureFolder(copy.relativePath, library);
}

// Runs one job to its end and records what it published; failed files wait in a new job.
void runJob(const fs::path& folder, const FolderCopyJob& job, const fs::path& library, Catalogue& catalogue, const std::stop_token& stop,
            ImportTotals& totals) {
    const FolderCopyOutcome outcome = copyWithProgress(folder, job, catalogue, stop);
    record(outcome, job, library, catalogue, totals);

    // Capture folders left empty by duplicates and failures go; a retry makes them again. One
    // holding the kept copy of a file that changed while it was copied stays, and is named.
    std::set<std::string> failed;
    for (const auto& failure : outcome.failures) failed.insert(failure.source);
    for (const FolderCopyJob::Copy& copy : job.copies)
        if (failed.contains(copy.source))
            for (const std::string& kept : keptCopiesBeside(copy.relativePath, library)) totals.keptCopies.push_back(kept);
    removeEmptyCaptureFolders(job, outcome, library);
    FolderCopyArea::finish(folder, failed, library);
}

// Where a desktop is there to show it, the library's folder shows its new contact sheet.
void refreshIcon(const fs::path& library) noexcept {
    try {
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) return;
        showContactSheetAsFolderIcon(library, readPreview(library.string()));
    } catch (...) {
        // The icon is a nicety; the import is done.
    }
}

// The folder of the library's job `id`.
fs::path jobFolder(const fs::path& library, const platform::Uuid& id) {
    for (const fs::path& folder : FolderCopyArea::jobs(library))
        if (platform::Uuid::parse(platform::entryPath(folder).filename().string()) == id) return folder;
    throw std::runtime_error("The library has no folder copy job " + id.string() + ".");
}

// A new revision each time, so the summary replaces the last even when only its unfinished-import
// flag has changed.
void writeSummary(const fs::path& library, Catalogue& catalogue) {
    catalogue.advanceRevision();
    catalogue::writePreviewSummary(library, catalogue, "Oakenmere " + std::string(kVersion), !FolderCopyArea::jobs(library).empty());
}

// Opens and locks the library and its catalogue for `work`, then brings the preview up to date
// and reports what was imported.
void importing(const std::string& given, bool json, const std::function<void(const fs::path&, Catalogue&, ImportTotals&)>& work) {
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
    if (totals.failures > 0 || !totals.unnamable.empty()) throw CLI::RuntimeError(1);
}

void import(const std::string& given, const std::vector<std::string>& sources, bool json, const std::stop_token& stop) {
    importing(given, json, [&](const fs::path& library, Catalogue& catalogue, ImportTotals& totals) {
        // What an earlier import left unfinished goes first, so nothing is copied twice.
        for (const fs::path& folder : FolderCopyArea::jobs(library))
            if (auto job = FolderCopyArea::loadForRecovery(folder)) runJob(folder, *job, library, catalogue, stop, totals);
        if (sources.empty()) return;
        std::vector<FoundFile> files = mediaIn(sources, library, totals);
        std::erase_if(files, [&](const FoundFile& file) {
            if (platform::isValidUtf8(file.path.string())) return false;
            totals.unnamable.push_back(file.path.string());
            return true;
        });
        // A file of a name and size the library holds is hashed first, and left out when its
        // bytes are there: a card imported again is not copied again.
        VerifiedFileCopy hasher;
        std::erase_if(files, [&](const FoundFile& file) {
            if (!catalogue.mayHold(file.path.filename().string(), file.size)) return false;
            std::string sha;
            try {
                sha = hasher.hash(file.path, stop);
            } catch (const platform::CancellationError&) {
                throw;
            } catch (const std::exception&) {
                return false;  // the copy will meet the same trouble and report it
            }
            bool held = false;
            try {
                held = catalogue.isHeld(sha);
            } catch (const catalogue::CatalogueError&) {
                return false;  // copied, as the copier does when it cannot tell
            }
            totals.duplicates += held;
            return held;
        });
        if (files.empty()) return;
        requireRoomFor(files, library);
        std::vector<std::string> named;
        for (const std::string& source : sources) named.push_back(platform::standardizedPath(source).string());
        const FolderCopyJob job = newJob(files, library, named);
        runJob(FolderCopyArea::save(job, library), job, library, catalogue, stop, totals);
    });
}

void refresh(const std::string& given) {
    requireLibraryPackage(given);
    LibraryBundleStore store;
    store.open(given);
    const fs::path library = platform::standardizedPath(given);
    Catalogue catalogue(library);
    writeSummary(library, catalogue);
    printOut("The preview of " + platform::printable(library.string()) + " is up to date.\n");
    refreshIcon(library);
}

}  // namespace

void retryImportJob(const std::string& given, const platform::Uuid& id, bool json, const std::stop_token& stop) {
    importing(given, json, [&](const fs::path& library, Catalogue& catalogue, ImportTotals& totals) {
        const fs::path folder = jobFolder(library, id);
        const auto job = FolderCopyArea::loadForRecovery(folder);
        if (!job) throw std::runtime_error("The folder copy job " + id.string() + " cannot be read; give it up with --finish.");
        runJob(folder, *job, library, catalogue, stop, totals);
    });
}

void giveUpImportJob(const std::string& given, const platform::Uuid& id, const std::stop_token& stop) {
    requireLibraryPackage(given);
    LibraryBundleStore store;
    store.open(given);
    const fs::path library = platform::standardizedPath(given);
    const fs::path folder = jobFolder(library, id);
    // What an import into this library had begun stays, finished and catalogued: the files it
    // recorded, one it published but had not recorded, one it was writing (each has its capture
    // folder by then). Only the files it had not reached are given up.
    std::optional<FolderCopyJob> begun = FolderCopyArea::loadForRecovery(folder);
    if (begun && platform::standardizedPath(begun->destination) != library) begun.reset();
    if (begun)
        std::erase_if(begun->copies, [&](const FolderCopyJob::Copy& copy) {
            const auto capture = MastersLayout::captureFolder(copy.relativePath);
            try {
                return !capture || !platform::lstatPath(library / *capture);
            } catch (const std::system_error&) {
                return false;  // the copier will tell what is wrong with it
            }
        });
    std::optional<Catalogue> catalogue;
    if (begun && !begun->copies.empty()) {
        catalogue.emplace(library);
        VerifiedFileCopy copier;
        const FolderCopyOutcome outcome =
            FolderCopier(*begun, folder, copier).run([&](const std::string& sha) { return catalogue->isHeld(sha); }, {}, stop);
        ImportTotals totals;
        record(outcome, *begun, library, *catalogue, totals);
        removeEmptyCaptureFolders(*begun, outcome, library);
    }
    FolderCopyArea::finish(folder, {}, library);
    if (catalogue) writeSummary(library, *catalogue);
    printOut("Finished job " + id.string() + "\n");
}

void addImportCommands(CLI::App& app, const std::stop_token& stop) {
    auto* command = app.add_subcommand(
        "import", "Copy photos and videos from folders into a library (the last argument), verified; resume an unfinished import.");
    auto arguments = std::make_shared<std::vector<std::string>>();
    auto json = std::make_shared<bool>(false);
    command
        ->add_option("FOLDER... LIBRARY", *arguments, "Folders or files to import, then the library (alone: finish an unfinished import)")
        ->required()
        ->check(nonEmptyPath());
    command->add_flag("--json", *json, "Print the result as JSON");
    command->callback([arguments, json, &stop] {
        const std::vector<std::string> sources(arguments->begin(), arguments->end() - 1);
        import(arguments->back(), sources, *json, stop);
    });

    auto* refreshing = app.add_subcommand("refresh", "Write a library's preview again from its catalogue.");
    auto refreshed = std::make_shared<std::string>();
    refreshing->add_option("LIBRARY", *refreshed, "The library package")->required()->check(nonEmptyPath());
    refreshing->callback([refreshed] { refresh(*refreshed); });
}

}  // namespace oakenmere::cli
