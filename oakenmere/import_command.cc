// `import [FOLDER...] LIBRARY`: copies the photos, RAW files and videos found in folders into the
// library, each verified and under its own capture folder, records them in the catalogue and
// brings the preview up to date. An import stopped by Ctrl-C, a crash or a full disk is resumed
// by the next import of the library, with or without folders; files that failed are tried again.
#include <optional>
#include <string>
#include <vector>

#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/maintenance/masters_layout.h"
#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
#include "oakenmere/import_jobs.h"
#include "oakenmere/output.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/printable.h"
#include "platform/text.h"

namespace oakenmere::cli {

namespace {

using namespace LibraryBundle;
namespace fs = std::filesystem;
using catalogue::Catalogue;

void import(const std::string& given, const std::vector<std::string>& sources, bool json, const std::stop_token& stop) {
    importing(given, json, [&](const fs::path& library, Catalogue& catalogue, ImportTotals& totals) {
        // What an earlier import left unfinished goes first, so nothing is copied twice.
        resumeImports(library, catalogue, stop, totals);
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
        const FolderCopyJob job = newImportJob(files, library, named);
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
        recordPublished(outcome, *begun, library, *catalogue, totals);
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
