// `oakenmere icon LIBRARY`: shows the library's contact sheet as its folder icon in file
// managers that read GIO metadata (Files, Nemo, Caja, Thunar).
#include <cstdio>
#include <stdexcept>
#include <string>

#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
#include "oakenmere/desktop.h"

namespace oakenmere::cli {

void addIconCommand(CLI::App& app) {
    auto* command = app.add_subcommand("icon", "Show a library's contact sheet as its folder icon.");
    auto library = std::make_shared<std::string>();
    command->add_option("LIBRARY", *library, "The library package")->required()->check(nonEmptyPath());
    command->callback([library] {
        if (!showContactSheetAsFolderIcon(*library, readPreview(*library)))
            throw std::runtime_error("This library has no contact sheet yet, so its icon was left as it is.");
        std::printf("The folder icon now shows the library\u2019s contact sheet.\n");
    });
}

}  // namespace oakenmere::cli
