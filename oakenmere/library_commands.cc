// Library commands: `create`, `open` and `info`.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/core/library_file_type.h"
#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
#include "oakenmere/output.h"
#include "oakenmere/version.h"
#include "platform/file_io.h"
#include "platform/json.h"
#include "platform/locale_format.h"
#include "platform/printable.h"
#include "platform/quoted.h"

namespace oakenmere::cli {

namespace {

using namespace LibraryBundle;

// The version alone: messages put "Oakenmere" before it themselves.
std::string buildName() { return std::string(kVersion); }

// PATH itself, or with --name (one folder entry) the package named from what the user typed inside PATH.
std::filesystem::path packagePath(const std::string& path, const std::optional<std::string>& name) {
    if (!name) return path;
    std::string filename = LibraryFileType::libraryFilename(*name);
    if (!LibraryFileType::isLibraryName(filename)) filename += "." + std::string(LibraryFileType::libraryExtension);
    return std::filesystem::path(path) / filename;
}

// Library text reaches the terminal escaped: a name could otherwise steer it.
std::string quotedName(const std::string& name) { return platform::inQuotes(platform::printable(name)); }

// Blocks until Ctrl-C or SIGTERM asks the command to stop.
void waitForStop(const std::stop_token& stop) {
    std::mutex mutex;
    std::condition_variable_any stopped;
    std::unique_lock lock(mutex);
    stopped.wait(lock, stop, [] { return false; });
}

// What a folder entry of the package is.
std::string folderState(const std::filesystem::path& path) {
    auto status = platform::lstatPath(path);
    if (!status) return "missing";
    if (status->isSymlink()) return "symbolic link";
    return status->isDirectory() ? "present" : "not a folder";
}

void printInfo(const std::filesystem::path& library, bool json) {
    // Reading only: the record is checked as an open would, but nothing is locked or created.
    LibraryInfo info = LibraryBundleStore::readIdentity(library);
    bool locked = LibraryLock::isHeldElsewhere(library);
    // In the package's own order: the seven folders, then the newer ones that are there.
    std::vector<std::pair<std::string, std::string>> states;
    for (const char* name : LibraryBundleStore::folders) states.emplace_back(name, folderState(library / name));
    for (const char* name : LibraryBundleStore::newerFolders)
        if (auto state = folderState(library / name); state != "missing") states.emplace_back(name, state);
    platform::Json folders = platform::Json::object();
    for (const auto& [name, state] : states) folders[name] = state;
    if (json) {
        platform::Json out = {{"name", info.name},
                              {"identifier", info.identifier.string()},
                              {"formatVersion", info.formatVersion},
                              {"formatWrittenBy", info.formatWrittenBy ? platform::Json(*info.formatWrittenBy) : platform::Json()},
                              {"createdAt", platform::dateJson(info.createdAt)},
                              {"folders", folders},
                              {"inUse", locked}};
        printJson(out);
        return;
    }
    platform::LocaleFormat format;
    std::printf("Name            %s\n", platform::printable(info.name).c_str());
    std::printf("Identifier      %s\n", info.identifier.string().c_str());
    std::printf("Format version  %lld%s\n", static_cast<long long>(info.formatVersion),
                info.formatWrittenBy ? (", written by " + platform::printable(*info.formatWrittenBy)).c_str() : "");
    std::printf("Created         %s\n", format.abbreviatedDateShortTime(info.createdAt).c_str());
    std::string line;
    for (const auto& [name, state] : states) line += (line.empty() ? "" : ", ") + name + (state == "present" ? "" : " (" + state + ")");
    std::printf("Folders         %s\n", line.c_str());
    std::printf("In use          %s\n", locked ? "yes, open in another window or application" : "no");
}

}  // namespace

void requireLibraryPackage(const std::filesystem::path& library) {
    auto status = platform::lstatPath(library);
    if (!LibraryFileType::isLibraryName(library) || (status && status->isSymlink())) throw LibraryBundleError::invalidBundle();
}

void addLibraryCommands(CLI::App& app, const std::stop_token& stop) {
    {
        auto* command = app.add_subcommand("create", "Create a new, empty library.");
        auto path = std::make_shared<std::string>();
        auto name = std::make_shared<std::string>();
        command->add_option("PATH", *path, "The new package (…/Name.oakenmere), or with --name the folder to make it in")
            ->required()
            ->check(nonEmptyPath());
        auto* named = command->add_option("--name", *name, "The library's name; the package is made inside PATH")->check(libraryName());
        command->callback([path, name, named] {
            LibraryBundleStore store(buildName());
            LibraryDescriptor library = store.create(packagePath(*path, named->count() ? std::optional(*name) : std::nullopt));
            std::printf("Created %s at %s\n", quotedName(library.name).c_str(), platform::printable(library.url.string()).c_str());
        });
    }
    {
        auto* command = app.add_subcommand("open", "Open a library, checking it as the application does.");
        auto library = std::make_shared<std::string>();
        auto hold = std::make_shared<bool>(false);
        command->add_option("LIBRARY", *library, "The library package")->required()->check(nonEmptyPath());
        command->add_flag("--hold", *hold, "Keep it open (and locked) until interrupted");
        command->callback([library, hold, &stop] {
            LibraryBundleStore store(buildName());
            LibraryDescriptor opened = store.open(*library);
            std::printf("Opened %s (%s)\n", quotedName(opened.name).c_str(), opened.id.string().c_str());
            if (*hold) {
                std::printf("Holding it open; press Ctrl-C to close it.\n");
                std::fflush(stdout);
                waitForStop(stop);
                std::printf("Closed %s\n", quotedName(opened.name).c_str());
            }
            store.close();
        });
    }
    {
        auto* command = app.add_subcommand("info", "Show a library's identity, folders and whether it is in use.");
        auto library = std::make_shared<std::string>();
        auto json = std::make_shared<bool>(false);
        command->add_option("LIBRARY", *library, "The library package")->required()->check(nonEmptyPath());
        command->add_flag("--json", *json, "Print as JSON");
        command->callback([library, json] {
            requireLibraryPackage(*library);
            printInfo(*library, *json);
        });
    }
}

}  // namespace oakenmere::cli
