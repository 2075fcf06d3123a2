#pragma once
// Writing files from a camera into a download folder, so that a crash at any moment leaves only
// files that fully landed (recorded in the folder's ledger) and at most one partial file, which
// the next import removes before it moves the landed files into the library.
#include <functional>
#include <optional>
#include <stop_token>
#include <string_view>
#include <vector>

#include "LibraryBundle/staging/camera_download_ledger.h"
#include "platform/file_io.h"

namespace oakenmere::LibraryBundle::CameraDownload {

// Puts the camera's bytes into the open file; throws to abandon the download.
using Writer = std::function<void(const platform::UniqueFd& file)>;

struct Time {
    std::int64_t seconds = 0, nanoseconds = 0;
};

// Writes `relativePath` (the camera's folders, then the file's name) into the ledger's folder
// under its ".downloading-" name, gives it the camera's modification time, makes it durable, and
// lands and records it under its own name. A path that leaves the folder or passes through a link
// is VerifiedCopyError::unsafePath and a name that is not UTF-8 std::invalid_argument, both before
// anything is written; a name already landed is destinationConflict. On any failure the partial
// file is removed.
CameraDownloadLedger::Entry download(const CameraDownloadLedger& ledger, std::string_view relativePath, std::optional<Time> modified,
                                     const Writer& write);

// Makes a folder a stopped download left ready to be imported: files landed but not recorded are
// recorded, partial files removed, and so is an empty file of a partial file's name that the
// ledger does not know (a placeholder the partial file never replaced). Returns the entries of
// the landed files, in path order.
std::vector<CameraDownloadLedger::Entry> settleInterrupted(const CameraDownloadLedger& ledger, const std::stop_token& stop = {});

}  // namespace oakenmere::LibraryBundle::CameraDownload
