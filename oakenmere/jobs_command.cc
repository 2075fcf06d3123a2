// `jobs`: the folder copy jobs a library holds, with how far each has got; `--retry ID` runs one
// to its end and `--finish ID` gives one up.
#include <cstdio>
#include <optional>
#include <string>

#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/staging/folder_copy_job.h"
#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
#include "oakenmere/job_progress.h"
#include "oakenmere/output.h"
#include "platform/file_io.h"
#include "platform/json.h"
#include "platform/locale_format.h"
#include "platform/printable.h"
#include "platform/uuid.h"

namespace oakenmere::cli {

namespace {

using namespace LibraryBundle;
namespace fs = std::filesystem;

void listJobs(const fs::path& library, bool json) {
    // Read as info reads it: a folder that is not a library is refused before anything is looked at.
    requireLibraryPackage(library);
    LibraryBundleStore::readIdentity(library);
    platform::Json list = platform::Json::array();
    platform::LocaleFormat format;
    const std::vector<fs::path> folders = FolderCopyArea::jobs(library);
    if (folders.empty() && !json) printOut("No folder copy jobs.\n");
    for (const fs::path& folder : folders) {
        const std::string id = platform::entryPath(folder).filename().string();
        auto job = FolderCopyArea::loadForRecovery(folder);
        if (!job) {
            if (json) list.push_back({{"id", id}, {"readable", false}});
            else printOut(id + "  (unreadable job.json)\n");
            continue;
        }
        const JobProgress p = JobProgress::of(*job, folder);
        if (json) {
            list.push_back({{"id", id},
                            {"readable", true},
                            {"destination", job->destination},
                            {"files", p.files},
                            {"filesDone", p.filesDone},
                            {"bytes", p.bytes},
                            {"bytesDone", p.bytesDone}});
        } else {
            printOut(id + "  " + platform::printable(job->destination) + "\n    " + format.integer(p.filesDone) + " of " +
                     format.integer(p.files) + " files, " + format.fileSize(p.bytesDone) + " of " + format.fileSize(p.bytes) + "\n");
        }
    }
    if (json) printJson(list);
}

platform::Uuid jobId(const std::string& id) {
    const auto uuid = platform::Uuid::parse(id);
    if (!uuid) throw std::runtime_error("\u201C" + platform::printable(id) + "\u201D is not a job identifier.");
    return *uuid;
}

}  // namespace

void addJobsCommand(CLI::App& app, const std::stop_token& stop) {
    auto* command = app.add_subcommand("jobs", "List a library's folder copy jobs and how far each has got.");
    auto library = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    auto finish = std::make_shared<std::string>();
    command->add_option("LIBRARY", *library, "The library package")->required()->check(nonEmptyPath());
    command->add_flag("--json", *json, "Print as JSON");
    auto retry = std::make_shared<std::string>();
    auto* finishing = command->add_option("--finish", *finish, "Give up the job with this identifier and remove it");
    auto* retrying = command->add_option("--retry", *retry, "Run the import job with this identifier to its end, as import would");
    finishing->excludes(retrying);
    command->callback([library, json, finish, finishing, retry, retrying, &stop] {
        // Giving a job up writes: the library must not be open elsewhere, where it may be running.
        if (finishing->count()) giveUpImportJob(*library, jobId(*finish), stop);
        else if (retrying->count()) retryImportJob(*library, jobId(*retry), *json, stop);
        else listJobs(*library, *json);
    });
}

}  // namespace oakenmere::cli
