// The host program: it plays the application's part for the package layer and the preview.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "BrightloftQuickLook/localization.h"
#include "oakenmere/commands.h"
#include "oakenmere/output.h"
#include "oakenmere/version.h"
#include "platform/cancellation.h"
#include "platform/interrupt.h"

namespace {

// A usage mistake as one line: the command or option that does not exist, or what the parser
// found wrong, and where the help is.
std::string usageMistake(const CLI::App& app, const CLI::ParseError& error) {
    auto commands = app.get_subcommands();
    std::string help = commands.empty() ? "oakenmere --help" : "oakenmere " + commands.front()->get_name() + " --help";
    auto words = app.remaining();
    if (commands.empty() && !words.empty()) {
        const char* kind = words.front().starts_with('-') ? "option" : "command";
        return "There is no " + std::string(kind) + " \u201C" + words.front() + "\u201D (see " + help + ")";
    }
    std::string message = error.what();
    std::replace(message.begin(), message.end(), '\n', ' ');
    return message + " (see " + help + ")";
}

}  // namespace

int main(int argc, char** argv) {
    using namespace oakenmere;
    BrightloftQuickLook::bindTranslations(kLocaleDirectory);
    CLI::App app{"Oakenmere photo libraries: preview, create and look after library packages."};
    app.set_version_flag("--version", "oakenmere " + std::string(kVersion));
    app.require_subcommand(1);
    // Set when the run starts; the commands read it only while they run.
    std::stop_token stop;
    cli::addPreviewCommand(app, stop);
    cli::addIconCommand(app);
    cli::addLibraryCommands(app, stop);
    cli::addCopyCommands(app, stop);
    cli::addJobsCommand(app, stop);
    cli::addCameraCommands(app, stop);
    cli::addImportCommands(app, stop);
    cli::addBackupCommands(app, stop);
    cli::addPresetCommands(app);
    cli::addCrashReportCommands(app, stop);
    cli::addMaintenanceCommands(app, stop);

    const std::string cancelled = platform::CancellationError().what();
    try {
        // The commands run on a worker, so that a signal is answered whatever they are doing.
        platform::runInterruptibly(
            [&](std::stop_token token) {
                stop = token;
                app.parse(argc, argv);
                cli::flushOutput();
            },
            [&] { cli::printError(cancelled); });
    } catch (const CLI::RuntimeError& error) {
        return error.get_exit_code();  // a command that has already said what went wrong
    } catch (const CLI::ParseError& error) {
        // --help and --version print and succeed; usage mistakes exit with 2, as shell tools do.
        if (error.get_exit_code() == 0) return app.exit(error);
        cli::printError(usageMistake(app, error));
        return 2;
    } catch (const platform::CancellationError& error) {
        const auto* leaving = dynamic_cast<const cli::StoppedLeaving*>(&error);
        cli::printError(cancelled + " " + (leaving ? leaving->note() : "Nothing was left half-done."));
        // As a shell reports a program the signal ended: 130 for Ctrl-C, 143 for SIGTERM.
        int signal = platform::lastInterruptSignal();
        return 128 + (signal != 0 ? signal : SIGINT);
    } catch (const std::exception& error) {
        // Every failure the layers below raise carries the sentence meant for the user.
        cli::printError(error.what());
        return 1;
    }
    return 0;
}
