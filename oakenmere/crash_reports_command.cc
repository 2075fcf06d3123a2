// `crash-reports keep|list`: crash and hang reports kept for feedback, each cut to what the
// diagnosis needs with the user's paths and name taken out before anything is written. `keep`
// takes payload files handed to it, and with --watch those a crash handler drops into a folder,
// deleting each of those once it is dealt with, so no unfiltered report stays on disk.
#include <csignal>
#include <string>
#include <vector>

#include "LibraryBundle/core/bounded_file_reader.h"
#include "LibraryBundle/crash_reports/crash_report_filter.h"
#include "LibraryBundle/crash_reports/crash_report_keeper.h"
#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
#include "oakenmere/output.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/folder_watch.h"
#include "platform/json.h"
#include "platform/printable.h"
#include "platform/xdg.h"

namespace oakenmere::cli {

namespace {

using namespace LibraryBundle;
namespace fs = std::filesystem;

// Larger payloads are no diagnostic report.
constexpr std::int64_t kPayloadLimit = std::int64_t{32} << 20;

fs::path folderOf(const std::string& given) {
    return given.empty() ? platform::dataHome() / "Oakenmere" / "Crash reports" : platform::standardizedPath(given);
}

// The keeper, switched on: the user asked for it by running the command.
CrashReportKeeper keeperFor(
    const std::string& folder, std::function<void()> subscribe = [] {}, std::function<void()> unsubscribe = [] {}) {
    return CrashReportKeeper(CrashReportFolder(folderOf(folder)), platform::home().string(), platform::userName(), std::move(subscribe),
                             std::move(unsubscribe));
}

// Keeps the payload files; says what became of each and answers those dealt with (kept, or
// holding nothing to keep): a payload that could not be kept is still needed.
std::vector<fs::path> keepFiles(CrashReportKeeper& keeper, const std::vector<fs::path>& payloads, bool json, platform::Json& report) {
    std::vector<fs::path> dealtWith;
    for (const fs::path& payload : payloads) {
        platform::Json entry{{"payload", payload.string()}};
        try {
            const platform::Bytes bytes = BoundedFileReader::read(payload, kPayloadLimit);
            const auto kept = keeper.receive({bytes}, platform::Date::now());
            // The keeper goes on past a report it cannot write; here that payload is not dealt with.
            if (kept.empty() && CrashReportFilter::filtered(bytes, platform::home().string(), platform::userName()))
                throw std::runtime_error("its report could not be written into " + platform::printable(keeper.folder().url().string()));
            entry["kept"] = kept.empty() ? platform::Json() : platform::Json(kept.front().string());
            if (!json)
                printOut(kept.empty() ? "Nothing to keep in " + platform::printable(payload.string()) + "\n"
                                      : "Kept " + platform::printable(payload.string()) + " as " +
                                            platform::printable(kept.front().filename().string()) + "\n");
            dealtWith.push_back(payload);
        } catch (const platform::CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            entry["error"] = error.what();
            if (!json) printOut("Could not keep " + platform::printable(payload.string()) + ": " + error.what() + "\n");
        }
        report.push_back(entry);
    }
    return dealtWith;
}

void keep(const std::vector<std::string>& given, const std::string& folder, bool json) {
    CrashReportKeeper keeper = keeperFor(folder);
    keeper.setKeeping(true);
    std::vector<fs::path> payloads;
    for (const std::string& path : given) payloads.push_back(platform::standardizedPath(path));
    platform::Json report = platform::Json::array();
    const bool allKept = keepFiles(keeper, payloads, json, report).size() == payloads.size();
    if (json) printJson({{"folder", keeper.folder().url().string()}, {"payloads", report}});
    if (!allKept) throw CLI::RuntimeError(1);  // each failure is named above
}

void list(const std::string& folder, bool json) {
    const CrashReportFolder reports(folderOf(folder));
    const auto files = reports.reports();
    if (json) {
        platform::Json names = platform::Json::array();
        for (const fs::path& file : files) names.push_back(file.string());
        printJson({{"folder", reports.url().string()}, {"reports", names}});
        return;
    }
    if (files.empty()) printOut("No crash reports kept in " + platform::printable(reports.url().string()) + "\n");
    for (const fs::path& file : files) printOut(platform::printable(file.string()) + "\n");
}

// Keeps the payloads that arrive in `inbox` until stopped; each is deleted once dealt with.
void watch(const std::string& inbox, const std::string& folder, bool json, const std::stop_token& stop) {
    const fs::path drop = platform::standardizedPath(inbox);
    std::optional<platform::FolderWatch> watching;
    CrashReportKeeper keeper = keeperFor(
        folder, [&] { watching.emplace(drop); }, [&] { watching.reset(); });
    keeper.setKeeping(true);
    printOut("Keeping crash reports dropped into " + platform::printable(drop.string()) + "; press Ctrl-C to stop.\n");
    flushOutput();
    const auto dealWith = [&](const std::vector<std::string>& names) {
        std::vector<fs::path> payloads;
        for (const std::string& name : names)
            if (name.ends_with(".json") && !name.starts_with(".")) payloads.push_back(drop / name);
        platform::Json report = platform::Json::array();
        for (const fs::path& payload : keepFiles(keeper, payloads, json, report)) platform::unlinkIgnoringErrors(payload);
        if (json && !report.empty()) printJson(report);
        flushOutput();
    };
    // Payloads already waiting are taken first.
    dealWith(platform::listDirectory(drop));
    while (!stop.stop_requested()) dealWith(watching->arrivals(std::chrono::milliseconds(200)));
    keeper.setKeeping(false);
    throw platform::CancellationError();
}

}  // namespace

void addCrashReportCommands(CLI::App& app, const std::stop_token& stop) {
    auto* reports = app.add_subcommand("crash-reports", "Keep crash reports, with private data taken out, to send with feedback.");
    reports->require_subcommand(1);
    auto folder = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    auto payloads = std::make_shared<std::vector<std::string>>();
    auto inbox = std::make_shared<std::string>();
    const auto common = [&](CLI::App* command) {
        command->add_option("--folder", *folder, "Where reports are kept (default: $XDG_DATA_HOME/Oakenmere/Crash reports)")
            ->check(nonEmptyPath());
        command->add_flag("--json", *json, "Print as JSON");
    };
    auto* keeping = reports->add_subcommand("keep", "Filter and keep the diagnostic payload files given, or those dropped into a folder.");
    keeping->add_option("PAYLOAD", *payloads, "Payload files (JSON)")->check(nonEmptyPath());
    keeping->add_option("--watch", *inbox, "Go on keeping the payloads a crash handler drops into DIR until stopped (each is then deleted)")
        ->check(nonEmptyPath())
        ->type_name("DIR");
    common(keeping);
    keeping->callback([=, &stop] {
        if (payloads->empty() && inbox->empty()) throw CLI::ValidationError("Give payload files to keep, or --watch DIR.");
        if (!payloads->empty()) keep(*payloads, *folder, *json);
        if (!inbox->empty()) watch(*inbox, *folder, *json, stop);
    });
    auto* listing = reports->add_subcommand("list", "List the kept reports, oldest first.");
    common(listing);
    listing->callback([=] { list(*folder, *json); });
}

}  // namespace oakenmere::cli
