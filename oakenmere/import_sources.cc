#include "oakenmere/import_sources.h"

#include <algorithm>
#include <stdexcept>

#include "catalogue/media_kind.h"
#include "platform/file_io.h"
#include "platform/folder_walk.h"
#include "platform/locale_format.h"
#include "platform/printable.h"
#include "platform/volume.h"

namespace oakenmere::cli {

namespace {

namespace fs = std::filesystem;

bool isMedia(const fs::path& file) { return catalogue::kindOf(file) != catalogue::MediaKind::other; }

}  // namespace

std::vector<FoundFile> mediaIn(const std::vector<std::string>& sources, const fs::path& library, ImportTotals& totals) {
    std::vector<FoundFile> found;
    const auto take = [&](const fs::path& path, const platform::FileStatus& status) {
        if (path.filename().string().starts_with(".") || (!status.isRegular() && !status.isDirectory())) ++totals.leftAlone;
        else if (status.isRegular() && isMedia(path)) found.push_back({path, status.size});
        else if (status.isRegular()) ++totals.skipped;
    };
    for (const std::string& given : sources) {
        const fs::path source = platform::standardizedPath(given);
        if (source == library || (source.string() + "/").starts_with(library.string() + "/") ||
            (library.string() + "/").starts_with(source.string() + "/"))
            throw std::runtime_error("\u201C" + platform::printable(given) +
                                     "\u201D is the library or holds it; import from another folder.");
        const auto status = platform::lstatPath(source);
        if (!status) throw std::runtime_error("There is no file or folder at \u201C" + platform::printable(given) + "\u201D.");
        if (!status->isDirectory()) {
            take(source, *status);
            continue;
        }
        platform::walkFolder(platform::openDirectory(source), source,
                             {.entry = take,
                              .enter = [](const fs::path& folder) { return !folder.filename().string().starts_with("."); },
                              .unreadable =
                                  [&](const fs::path& folder, const std::system_error& error) {
                                      totals.unreadableFolders.push_back(folder.string() + ": " + error.what());
                                  }});
    }
    std::sort(found.begin(), found.end(), [](const FoundFile& a, const FoundFile& b) { return a.path < b.path; });
    found.erase(std::unique(found.begin(), found.end(), [](const FoundFile& a, const FoundFile& b) { return a.path == b.path; }),
                found.end());
    return found;
}

void requireRoomFor(const std::vector<FoundFile>& files, const fs::path& library) {
    std::int64_t needed = 0;
    for (const FoundFile& file : files) needed += file.size;
    const auto available = platform::availableBytes(library);
    if (!available || needed <= *available) return;
    platform::LocaleFormat format;
    throw std::runtime_error("The files to import need " + format.fileSize(needed) + ", and the library\u2019s disk has " +
                             format.fileSize(*available) + " free. Make room, or import fewer files at a time.");
}

}  // namespace oakenmere::cli
