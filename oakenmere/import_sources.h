#pragma once
// What an import takes from the folders it is given: the photos, RAW files and videos in them,
// with what it leaves alone counted, and whether they fit on the library's disk.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "oakenmere/import_report.h"

namespace oakenmere::cli {

struct FoundFile {
    std::filesystem::path path;
    std::int64_t size = 0;
};

// Photos, RAW files and videos in the given folders and their subfolders (or the given files),
// sorted by path. Hidden entries, links and special files are counted and never opened or
// followed; other files are counted; folders that cannot be read are named and passed over.
// A source that is the library, or inside it, or holds it, is refused.
std::vector<FoundFile> mediaIn(const std::vector<std::string>& sources, const std::filesystem::path& library, ImportTotals& totals);

// Refuses, before anything is written, files that cannot fit on the library's disk.
void requireRoomFor(const std::vector<FoundFile>& files, const std::filesystem::path& library);

}  // namespace oakenmere::cli
