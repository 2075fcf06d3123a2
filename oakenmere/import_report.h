#pragma once
// What an import did, as it tells it: a line of numbers and lists of what stayed behind, or the
// same as JSON.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace oakenmere::cli {

struct ImportTotals {
    std::int64_t published = 0, publishedBytes = 0, duplicates = 0;
    std::int64_t skipped = 0;    // files that are not photos, RAW files or videos
    std::int64_t leftAlone = 0;  // hidden entries, links and special files: never opened or followed
    std::vector<std::string> unreadableFolders;
    std::vector<std::string> unnamable;   // names that are not UTF-8 text, which nothing can record
    std::vector<std::string> keptCopies;  // complete copies of files that changed while copied
    std::vector<std::string> failureReasons;
    std::int64_t failures = 0;

    // From a camera: what was downloaded, what was deleted from the camera once the library
    // provably held it, and what was left on it.
    struct Camera {
        std::string name;
        std::int64_t downloaded = 0, downloadedBytes = 0, empty = 0, deleted = 0;
        std::vector<std::string> unsafeNames;  // "/", ".." or an empty piece: never written anywhere
        std::vector<std::string> kept;         // asked to be deleted but kept, each "path: why"
    };
    std::optional<Camera> camera;
};

// `name` is the library's name.
void reportImport(const ImportTotals& totals, const std::string& name, bool json);

}  // namespace oakenmere::cli
