// `camera list`: the cameras and memory cards an import can read from; `camera import` (in
// camera_import.cc) imports from one. `camera survey|clean
// FOLDER`: what a camera download folder holds and how far each file has got, and mending its
// ledger and removing the folder once nothing is left in it.
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/staging/camera_download_area.h"
#include "LibraryBundle/staging/camera_download_ledger.h"
#include "camera/camera_list.h"
#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
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
using Entries = std::map<std::string, CameraDownloadLedger::Entry>;

// The library package a download folder lives in, when it is one of a package's.
std::optional<fs::path> packageOf(const fs::path& folder) {
    const fs::path area = folder.parent_path();
    if (area.filename() != "CameraDownloads" || area.parent_path().filename() != "Staging") return std::nullopt;
    return area.parent_path().parent_path();
}

// Only a folder made for downloads is worked on: a UUID-named folder in a package's area or in a
// holder beside an import destination. Anything else is refused before it is read.
fs::path downloadFolder(const std::string& given) {
    const fs::path folder = platform::standardizedPath(given);
    const auto status = platform::lstatPath(folder);
    if (!status) throw std::runtime_error("There is no folder at \u201C" + platform::printable(given) + "\u201D.");
    const bool named = platform::Uuid::parse(folder.filename().string()).has_value() &&
                       (packageOf(folder) || folder.parent_path().filename() == CameraDownloadArea::besideDestinationName);
    if (!status->isDirectory() || !named)
        throw std::runtime_error("\u201C" + platform::printable(given) + "\u201D is not a camera download folder.");
    return folder;
}

struct FileState {
    std::string path, state;
    std::optional<std::string> recordedAs;  // for a file recognised after a rename
};

// Each file with what the ledger says of it: landed (its entry describes it), renamed (an entry
// describes it but for its name and status-change time), changed, not recorded, downloading;
// and entries whose file is gone.
std::vector<FileState> statesOf(const fs::path& folder, const CameraDownloadArea::Survey& survey, const Entries& entries) {
    const auto relative = [&](const std::string& path) { return path.substr(folder.string().size() + 1); };
    std::vector<FileState> states;
    std::set<std::string> accounted;
    for (const std::string& path : survey.complete) {
        auto entry = entries.find(path);
        if (entry != entries.end() && entry->second.matches(path)) {
            states.push_back({relative(path), "landed", {}});
            accounted.insert(path);
            continue;
        }
        auto renamed = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.second.matchesRenamed(path); });
        if (renamed != entries.end()) {
            states.push_back({relative(path), "renamed", renamed->second.path});
            accounted.insert(renamed->first);
        } else {
            states.push_back({relative(path), entry != entries.end() ? "changed" : "not recorded", {}});
        }
        accounted.insert(path);
    }
    for (const std::string& path : survey.partial) states.push_back({relative(path), "downloading", {}});
    for (const auto& [path, entry] : entries)
        if (!accounted.contains(path)) states.push_back({entry.path, "gone", {}});
    return states;
}

void printStates(const fs::path& folder, const std::vector<FileState>& states, bool json) {
    if (json) {
        platform::Json files = platform::Json::array();
        for (const FileState& s : states) {
            platform::Json file{{"path", s.path}, {"state", s.state}};
            if (s.recordedAs) file["recordedAs"] = *s.recordedAs;
            files.push_back(file);
        }
        printJson({{"folder", folder.string()}, {"files", files}});
        return;
    }
    printOut("Download folder " + platform::printable(folder.string()) + "\n");
    if (states.empty()) printOut("  (empty)\n");
    std::map<std::string, std::int64_t> counts;
    for (const FileState& s : states) {
        ++counts[s.state];
        std::string line = "  " + s.state + std::string(14 - s.state.size(), ' ') + platform::printable(s.path);
        if (s.recordedAs) line += " (landed as " + platform::printable(*s.recordedAs) + ")";
        printOut(line + "\n");
    }
    std::string summary;
    platform::LocaleFormat format;
    for (const auto& [state, count] : counts) summary += (summary.empty() ? "" : ", ") + format.integer(count) + " " + state;
    if (!summary.empty()) printOut(summary + "\n");
}

void survey(const std::string& given, bool json) {
    const fs::path folder = downloadFolder(given);
    const CameraDownloadLedger ledger(folder);
    const CameraDownloadArea::Survey survey = CameraDownloadArea::survey(folder);
    printStates(folder, statesOf(folder, survey, ledger.entries()), json);
}

void clean(const std::string& given, bool json, const std::stop_token& stop) {
    const fs::path folder = downloadFolder(given);
    // Inside a library the folder is the library's: no import may be working on it meanwhile.
    LibraryBundleStore store;
    if (auto package = packageOf(folder)) {
        requireLibraryPackage(*package);
        store.open(*package);
    }
    const CameraDownloadLedger ledger(folder);
    const Entries before = ledger.entries();
    const auto [entries, survey] = ledger.recordingUnlisted(stop);
    const auto recorded = std::count_if(entries.begin(), entries.end(), [&](const auto& e) {
        auto earlier = before.find(e.first);
        return earlier == before.end() || earlier->second != e.second;
    });
    const bool removed = ledger.removeIfEmpty();
    if (removed && !packageOf(folder)) CameraDownloadArea::removeEmptyHolder(folder.parent_path().parent_path());
    if (json) {
        printJson({{"folder", folder.string()},
                   {"recorded", recorded},
                   {"removed", removed},
                   {"complete", survey.complete.size()},
                   {"partial", survey.partial.size()}});
        return;
    }
    platform::LocaleFormat format;
    const auto files = [&](std::int64_t count) { return format.integer(count) + (count == 1 ? " file" : " files"); };
    if (recorded > 0) printOut("Recorded " + files(recorded) + " the ledger did not describe\n");
    if (removed) printOut("Removed the empty download folder " + platform::printable(folder.string()) + "\n");
    else
        printOut("Kept " + platform::printable(folder.string()) + ": " + files(static_cast<std::int64_t>(survey.complete.size())) +
                 " landed, " + format.integer(static_cast<std::int64_t>(survey.partial.size())) + " still downloading\n");
}

void list(bool json) {
    const std::vector<camera::DetectedCamera> cameras = camera::detectedCameras();
    if (json) {
        platform::Json found = platform::Json::array();
        for (const auto& c : cameras) found.push_back({{"model", c.model}, {"port", c.port}, {"name", c.name}});
        printJson(found);
        return;
    }
    if (cameras.empty()) printOut("No cameras or memory cards found.\n");
    for (const auto& c : cameras)
        printOut(platform::printable(c.name) + "  (" + platform::printable(c.model) + ", port " + platform::printable(c.port) + ")\n");
}

}  // namespace

void addCameraCommands(CLI::App& app, const std::stop_token& stop) {
    auto* camera = app.add_subcommand("camera", "Find cameras and memory cards; look after camera download folders.");
    camera->require_subcommand(1);
    auto folder = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    auto* listing = camera->add_subcommand("list", "List the cameras and memory cards an import can read from.");
    listing->add_flag("--json", *json, "Print as JSON");
    listing->callback([json] { list(*json); });
    auto* importing = camera->add_subcommand(
        "import",
        "Download what the library does not hold from a camera or memory card, verified, and import it; resume an unfinished one.");
    auto library = std::make_shared<std::string>();
    auto choice = std::make_shared<CameraChoice>();
    auto deleting = std::make_shared<bool>(false);
    importing->add_option("LIBRARY", *library, "The library package")->required()->check(nonEmptyPath());
    importing->add_option("--port", choice->port, "The camera's port, as \"camera list\" shows it (\"usb:001,004\", \"disk:/media/card\")");
    importing->add_option("--model", choice->model, "The camera's model, as \"camera list\" shows it");
    importing->add_flag("--delete-from-camera", *deleting, "Delete each file from the camera once the library is proven to hold it");
    importing->add_flag("--json", *json, "Print the result as JSON");
    importing->callback([library, choice, deleting, json, &stop] { importFromCamera(*library, *choice, *deleting, *json, stop); });
    for (const char* name : {"survey", "clean"}) {
        const bool surveying = std::string_view(name) == "survey";
        auto* command =
            camera->add_subcommand(name, surveying ? "List what a download folder holds and what its ledger says of each file."
                                                   : "Record what the ledger is missing and remove the folder once it is empty.");
        command->add_option("FOLDER", *folder, "The download folder")->required()->check(nonEmptyPath());
        command->add_flag("--json", *json, "Print as JSON");
        command->callback([folder, json, surveying, &stop] {
            if (surveying) survey(*folder, *json);
            else clean(*folder, *json, stop);
        });
    }
}

}  // namespace oakenmere::cli
