#pragma once
// Each subcommand of the host program registers itself on the command line here.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <stop_token>
#include <string>

#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "platform/cancellation.h"
#include "platform/uuid.h"

namespace oakenmere::cli {

// `stop` is the running command's stop token (Ctrl-C, SIGTERM), read when the command runs.
void addPreviewCommand(CLI::App& app, const std::stop_token& stop);
void addIconCommand(CLI::App& app);
void addLibraryCommands(CLI::App& app, const std::stop_token& stop);
void addCopyCommands(CLI::App& app, const std::stop_token& stop);
void addJobsCommand(CLI::App& app, const std::stop_token& stop);
void addCameraCommands(CLI::App& app, const std::stop_token& stop);
void addImportCommands(CLI::App& app, const std::stop_token& stop);
void addBackupCommands(CLI::App& app, const std::stop_token& stop);
void addPresetCommands(CLI::App& app);
void addCrashReportCommands(CLI::App& app, const std::stop_token& stop);
void addMaintenanceCommands(CLI::App& app, const std::stop_token& stop);

// Runs one saved import job of the library to its end, as `import` does, and reports it.
void retryImportJob(const std::string& library, const platform::Uuid& id, bool json, const std::stop_token& stop);
// Gives one saved job of the library up: what it had begun is finished, catalogued and kept, the
// rest is forgotten, and the preview is written again.
void giveUpImportJob(const std::string& library, const platform::Uuid& id, const std::stop_token& stop);

// The camera to import from: empty strings leave the choice to what is connected.
struct CameraChoice {
    std::string model, port;
};
// Imports from the camera into the library; `deleting` deletes from the camera what the library
// is proven to hold.
void importFromCamera(const std::string& library, const CameraChoice& choice, bool deleting, bool json, const std::stop_token& stop);

// A command stopped by Ctrl-C that leaves something unfinished, which `note` tells of.
class StoppedLeaving : public platform::CancellationError {
public:
    explicit StoppedLeaving(std::string note) : note_(std::move(note)) {}
    const std::string& note() const noexcept { return note_; }

private:
    std::string note_;
};

// Refuses as open refuses it (LibraryBundleError::invalidBundle) a path without a library
// extension or one that is a symbolic link, wherever it points; reads nothing else.
void requireLibraryPackage(const std::filesystem::path& library);

// The preview the library holds; a folder without a readable "Info.plist" of its own is
// LibraryBundleError::invalidBundle, as open and info report it.
LibraryBundle::LibraryPreview readPreview(const std::string& library);

}  // namespace oakenmere::cli
