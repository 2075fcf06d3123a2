#pragma once
// Folder copy jobs that bring files into a library (from folders, or moving camera downloads):
// made, run to their end with progress, recorded in the catalogue, and, once nothing is left to
// do, the preview brought up to date. Shared by `import`, `camera import` and `jobs`.
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "LibraryBundle/staging/folder_copier.h"
#include "catalogue/catalogue.h"
#include "oakenmere/import_report.h"
#include "oakenmere/import_sources.h"

namespace oakenmere::cli {

// A new job that copies each file into a capture folder of its own under "Masters"; `sources`
// say where the files came from, as the catalogue's import record will.
LibraryBundle::FolderCopyJob newImportJob(const std::vector<FoundFile>& files, const std::filesystem::path& library,
                                          const std::vector<std::string>& sources);

// Runs one job to its end and records what it published; failed files wait in a new job. The
// downloads a camera job leaves behind are deleted once the library provably holds them.
void runJob(const std::filesystem::path& folder, const LibraryBundle::FolderCopyJob& job, const std::filesystem::path& library,
            catalogue::Catalogue& catalogue, const std::stop_token& stop, ImportTotals& totals);

// Runs what earlier imports left unfinished: saved jobs, then camera downloads that landed
// before their job was saved.
void resumeImports(const std::filesystem::path& library, catalogue::Catalogue& catalogue, const std::stop_token& stop,
                   ImportTotals& totals);

// Records the originals the job published that the catalogue does not hold yet, in one transaction.
void recordPublished(const LibraryBundle::FolderCopyOutcome& outcome, const LibraryBundle::FolderCopyJob& job,
                     const std::filesystem::path& library, catalogue::Catalogue& catalogue, ImportTotals& totals);
// The capture folders of the job's files that did not come in, when nothing is left in them.
void removeEmptyCaptureFolders(const LibraryBundle::FolderCopyJob& job, const LibraryBundle::FolderCopyOutcome& outcome,
                               const std::filesystem::path& library);

// The folder of the library's job `id`; a job the library does not have is an error.
std::filesystem::path jobFolder(const std::filesystem::path& library, const platform::Uuid& id);

// Writes the preview summary again (under a new revision), saying whether an import waits.
void writeSummary(const std::filesystem::path& library, catalogue::Catalogue& catalogue);

// Where a desktop is there to show it, the library's folder shows its new contact sheet.
void refreshIcon(const std::filesystem::path& library) noexcept;

// Opens and locks the library and its catalogue for `work`, then brings the preview up to date
// (also when `work` throws) and reports what was imported; exit 1 when files stayed behind.
using ImportWork = std::function<void(const std::filesystem::path& library, catalogue::Catalogue&, ImportTotals&)>;
void importing(const std::string& library, bool json, const ImportWork& work);

}  // namespace oakenmere::cli
