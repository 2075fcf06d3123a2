// `backup LIBRARY DEST`, `validate BACKUP` and `restore BACKUP DEST`: verified backups of a
// library, checked file by file against their manifest, and restored into a new library.
#include <optional>
#include <string>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/core/library_file_type.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/maintenance/library_recovery.h"
#include "catalogue/catalogue.h"
#include "oakenmere/arguments.h"
#include "oakenmere/backup_check.h"
#include "oakenmere/commands.h"
#include "oakenmere/import_jobs.h"
#include "oakenmere/output.h"
#include "oakenmere/progress_bar.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/json.h"
#include "platform/locale_format.h"
#include "platform/posix_error.h"
#include "platform/printable.h"

namespace oakenmere::cli {

namespace {

using namespace LibraryBundle;
namespace fs = std::filesystem;

std::string quoted(const fs::path& path) { return "\u201C" + platform::printable(path.string()) + "\u201D"; }

// A bar made once the operation knows how much it has to do.
class LazyBar {
public:
    explicit LazyBar(std::string label) : label_(std::move(label)) {}
    void operator()(std::int64_t done, std::int64_t total) {
        if (!bar_) bar_.emplace(label_, total, ProgressBar::Options{.threshold = 0, .linesWhenNotTerminal = true});
        bar_->update(done);
    }
    void finish() {
        if (bar_) bar_->finish();
    }

private:
    std::string label_;
    std::optional<ProgressBar> bar_;
};

std::int64_t bytesOf(const LibraryBackupManifest& manifest, const fs::path& folder) {
    std::int64_t bytes = 0;
    for (const auto& entry : manifest.files)
        if (auto path = PackagePath::joined(entry.relativePath, folder))
            if (auto status = platform::lstatPath(*path)) bytes += status->size;
    return bytes;
}

// Runs `work`, which makes the folder `made`; when it fails after making it, the failure also says
// that the folder is unfinished (`what`) and is to be deleted. A folder that was there before is
// never called unfinished: it was not this run's.
template <typename Work>
void leavingNote(const fs::path& made, const std::string& what, Work&& work) {
    const auto exists = [&] {
        try {
            return platform::lstatPath(made).has_value();
        } catch (const std::system_error&) {
            return false;
        }
    };
    const bool existed = exists();
    try {
        work();
    } catch (const std::exception& error) {
        if (existed || !exists()) throw;
        const std::string note = "The unfinished " + what + " at " + quoted(made) + " is to be deleted before trying again there.";
        if (dynamic_cast<const platform::CancellationError*>(&error)) throw StoppedLeaving(note);
        throw std::runtime_error(std::string(error.what()) + " " + note);
    }
}

// The manifest, with a missing one told as what it means.
LibraryBackupManifest manifestOf(const fs::path& backup) {
    try {
        return LibraryRecovery::readManifest(backup);
    } catch (const std::system_error& error) {
        if (!platform::isPosixError(error, ENOENT)) throw;
        if (!platform::lstatPath(backup)) throw std::runtime_error("There is no backup at " + quoted(backup) + ".");
        throw std::runtime_error(quoted(backup) +
                                 " has no backup.json: it is not a backup, or one that did not finish. Back up the library again.");
    }
}

void backup(const std::string& given, const std::string& destination, bool json, const std::stop_token& stop) {
    requireLibraryPackage(given);
    // Held for the whole backup: no import changes the library meanwhile.
    LibraryBundleStore store;
    const LibraryDescriptor descriptor = store.open(given);
    const fs::path library = platform::standardizedPath(given), backupFolder = platform::standardizedPath(destination);
    // The catalogue's write-ahead log folded in, so the backup holds one complete database file.
    if (catalogue::Catalogue::exists(library)) catalogue::Catalogue(library).checkpointAndClose();
    LibraryRecovery recovery;
    LazyBar bar("Backing up");
    recovery.progress = std::ref(bar);
    LibraryBackupManifest manifest;
    leavingNote(backupFolder, "backup (it has no backup.json)",
                [&] { manifest = recovery.backupClosedCatalog(library, backupFolder, stop); });
    bar.finish();
    const std::int64_t bytes = bytesOf(manifest, backupFolder);
    if (json) {
        printJson({{"backup", backupFolder.string()}, {"files", manifest.files.size()}, {"bytes", bytes}});
        return;
    }
    printOut("Backed up " + filesAndSize(static_cast<std::int64_t>(manifest.files.size()), bytes) + " of \u201C" +
             platform::printable(descriptor.name) + "\u201D to " + platform::printable(backupFolder.string()) + "\n");
}

void validate(const std::string& given, int jobs, bool json, const std::stop_token& stop) {
    const fs::path backupFolder = platform::standardizedPath(given);
    const LibraryBackupManifest manifest = manifestOf(backupFolder);
    LazyBar bar("Checking");
    const BackupProblems problems = checkBackup(backupFolder, manifest, jobs, std::ref(bar), stop);
    bar.finish();
    if (json) {
        printJson({{"backup", backupFolder.string()},
                   {"files", manifest.files.size()},
                   {"bytes", problems.bytes},
                   {"createdAt", platform::dateJson(manifest.createdAt)},
                   {"missing", problems.missing},
                   {"changed", problems.changed},
                   {"unexpected", problems.unexpected},
                   {"valid", problems.none()}});
    } else {
        for (const auto& [label, paths] : {std::pair("missing     ", &problems.missing), std::pair("changed     ", &problems.changed),
                                           std::pair("unexpected  ", &problems.unexpected)})
            for (const std::string& path : *paths) printOut(label + platform::printable(path) + "\n");
        const std::int64_t files = static_cast<std::int64_t>(manifest.files.size());
        if (problems.none()) printOut("The backup holds all " + filesAndSize(files, problems.bytes) + ", each matching its checksum.\n");
        else
            printOut("The backup does not match its manifest: " + std::to_string(problems.missing.size()) + " missing, " +
                     std::to_string(problems.changed.size()) + " changed, " + std::to_string(problems.unexpected.size()) +
                     " unexpected.\n");
    }
    if (!problems.none()) throw CLI::RuntimeError(1);
}

void restore(const std::string& given, const std::string& destination, bool json, const std::stop_token& stop) {
    const fs::path backupFolder = platform::standardizedPath(given), library = platform::standardizedPath(destination);
    if (!LibraryFileType::isLibraryName(library))
        throw std::runtime_error("Name the restored library with the .oakenmere extension, as in \u201CTrip restored.oakenmere\u201D.");
    manifestOf(backupFolder);
    LibraryRecovery recovery;
    LazyBar bar("Restoring");
    recovery.progress = std::ref(bar);
    leavingNote(library, "restore (it has no Info.plist, so it is no library)", [&] { recovery.restore(backupFolder, library, stop); });
    bar.finish();
    LibraryBackupManifest manifest;
    std::int64_t bytes = 0;
    std::string name;
    try {
        manifest = LibraryRecovery::readManifest(backupFolder);
        bytes = bytesOf(manifest, library);
        // A backup holds no preview (it is made from the catalogue): written now, as refresh does.
        LibraryBundleStore store;
        name = store.open(library.string()).name;
        if (catalogue::Catalogue::exists(library)) {
            catalogue::Catalogue restored(library);
            writeSummary(library, restored);
        }
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        // The library is whole by now; only its preview is owed, which refresh writes.
        std::string reason = error.what();
        if (!reason.empty() && reason.back() != '.') reason += '.';
        throw std::runtime_error("The backup was restored to " + quoted(library) + ", but its preview was not written: " + reason +
                                 " Run \u201Coakenmere refresh\u201D on it to write it.");
    }
    if (json) {
        printJson({{"library", library.string()}, {"name", name}, {"files", manifest.files.size()}, {"bytes", bytes}});
        return;
    }
    printOut("Restored \u201C" + platform::printable(name) + "\u201D, " +
             filesAndSize(static_cast<std::int64_t>(manifest.files.size()), bytes) + ", to " + platform::printable(library.string()) +
             "\n");
}

}  // namespace

void addBackupCommands(CLI::App& app, const std::stop_token& stop) {
    auto json = std::make_shared<bool>(false);
    auto first = std::make_shared<std::string>(), second = std::make_shared<std::string>();
    auto jobs = std::make_shared<int>(1);

    auto* backingUp = app.add_subcommand("backup", "Back up a library, file by file and verified, into a new folder.");
    backingUp->add_option("LIBRARY", *first, "The library package")->required()->check(nonEmptyPath());
    backingUp->add_option("DEST", *second, "The new backup folder (its parent must exist)")->required()->check(nonEmptyPath());
    backingUp->add_flag("--json", *json, "Print the result as JSON");
    backingUp->callback([=, &stop] { backup(*first, *second, *json, stop); });

    auto* validating = app.add_subcommand("validate", "Check every file of a backup against its manifest, naming each problem.");
    validating->add_option("BACKUP", *first, "The backup folder")->required()->check(nonEmptyPath());
    validating->add_option("--jobs", *jobs, "Files checked at once")->check(CLI::Range(1, 64));
    validating->add_flag("--json", *json, "Print the result as JSON");
    validating->callback([=, &stop] { validate(*first, *jobs, *json, stop); });

    auto* restoring = app.add_subcommand("restore", "Check a backup, then restore it into a new library.");
    restoring->add_option("BACKUP", *first, "The backup folder")->required()->check(nonEmptyPath());
    restoring->add_option("DEST", *second, "The new library (…/Name.oakenmere)")->required()->check(nonEmptyPath());
    restoring->add_flag("--json", *json, "Print the result as JSON");
    restoring->callback([=, &stop] { restore(*first, *second, *json, stop); });
}

}  // namespace oakenmere::cli
