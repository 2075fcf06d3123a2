#pragma once
// Keeping a library's preview true to its catalogue: "Summary.json" with the catalogue's numbers
// and revision, and "Summary.jpg" with its newest pictures, written through the summary store
// (which keeps whichever of two summaries has the higher revision).
#include <filesystem>
#include <string>

#include "catalogue/catalogue.h"

namespace oakenmere::catalogue {

// `writtenBy` names the program ("Oakenmere 0.1.0"); `unfinishedImport` says whether an import
// waits to be resumed. The caller has the library open; what an earlier write cut short left is
// removed first. Throws what the catalogue and the store throw.
void writePreviewSummary(const std::filesystem::path& library, const Catalogue& catalogue, const std::string& writtenBy,
                         bool unfinishedImport);

}  // namespace oakenmere::catalogue
