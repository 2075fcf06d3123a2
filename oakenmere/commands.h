#pragma once
// Each subcommand of the host program registers itself on the command line here.
#include <CLI/CLI.hpp>

namespace oakenmere::cli {

void addPreviewCommand(CLI::App& app);
void addIconCommand(CLI::App& app);
void addLibraryCommands(CLI::App& app);
void addCopyCommands(CLI::App& app);

}  // namespace oakenmere::cli
