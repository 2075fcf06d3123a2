// The host program: it plays the application's part for the package layer and the preview.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "BrightloftQuickLook/Localization.h"
#include "oakenmere/commands.h"
#include "oakenmere/version.h"
#include "platform/cancellation.h"

int main(int argc, char** argv) {
    BrightloftQuickLook::bindTranslations(oakenmere::kLocaleDirectory);
    CLI::App app{"Oakenmere photo libraries: preview, create and look after library packages."};
    app.set_version_flag("--version", std::string(oakenmere::kVersion));
    app.require_subcommand(1);
    oakenmere::cli::addPreviewCommand(app);
    oakenmere::cli::addIconCommand(app);
    oakenmere::cli::addLibraryCommands(app);
    oakenmere::cli::addCopyCommands(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError& error) {
        return error.get_exit_code();  // a command that has already said what went wrong
    } catch (const CLI::ParseError& error) {
        // Usage mistakes exit with 2, as shell tools do; --help and --version with 0.
        return app.exit(error) == 0 ? 0 : 2;
    } catch (const oakenmere::platform::CancellationError& error) {
        std::fprintf(stderr, "oakenmere: %s Nothing was left half-done.\n", error.what());
        return 130;
    } catch (const std::exception& error) {
        // Every failure the layers below raise carries the sentence meant for the user.
        std::fprintf(stderr, "oakenmere: %s\n", error.what());
        return 1;
    }
    return 0;
}
