#pragma once
// Showing libraries on the desktop. File managers treat a package as a plain folder, so its
// picture is set where the desktop keeps folder metadata (GIO's metadata store), never inside
// the package.
#include <filesystem>

#include "LibraryBundle/preview/library_preview_summary_store.h"

namespace oakenmere::cli {

// Copies the preview's contact sheet to the user's cache and makes it the folder's custom
// icon. Returns false, changing nothing, when the preview has no contact sheet. Throws when
// the desktop's metadata store (the `gio` tool) is missing or refuses.
bool showContactSheetAsFolderIcon(const std::filesystem::path& library, const LibraryBundle::LibraryPreview& preview);

}  // namespace oakenmere::cli
