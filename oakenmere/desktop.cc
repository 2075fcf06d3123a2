#include "oakenmere/desktop.h"

#include <stdexcept>

#include "platform/atomic_write.h"
#include "platform/file_io.h"
#include "platform/file_uri.h"
#include "platform/process.h"
#include "platform/xdg.h"

namespace oakenmere::cli {

bool showContactSheetAsFolderIcon(const std::filesystem::path& library, const LibraryBundle::LibraryPreview& preview) {
    if (!preview.contactSheet || !preview.summary) return false;
    if (!platform::programExists("gio")) throw std::runtime_error("The folder icon needs the gio tool (package libglib2.0-bin).");
    // The icon lives outside the package, named by the library's identifier, so a renamed or
    // moved library keeps pointing at its own picture.
    auto icons = platform::cacheHome() / "oakenmere" / "icons";
    platform::makeFolders(icons);
    auto name = preview.summary->libraryID().string() + ".jpg";
    platform::writeFileAtomically(platform::openDirectory(icons), name, *preview.contactSheet, ".icon-", ".tmp");
    auto target = std::filesystem::absolute(library);
    int status = platform::runProcess({"gio", "set", target.string(), "metadata::custom-icon", platform::fileUri(icons / name)}, true);
    if (status != 0)
        throw std::runtime_error("The desktop did not accept the folder icon (gio exit status " + std::to_string(status) + ").");
    return true;
}

}  // namespace oakenmere::cli
