// `camera import LIBRARY`: downloads the photos, RAW files and videos of a camera or memory card
// that the library does not hold yet into a download folder inside the library, then moves them
// in as a folder import does. A stop or a crash is resumed by the next import without
// downloading a landed file again; `--delete-from-camera` deletes from the camera only what the
// library is proven to hold.
#include <optional>
#include <string>
#include <vector>

#include "LibraryBundle/maintenance/staging_deletion.h"
#include "LibraryBundle/staging/camera_download.h"
#include "LibraryBundle/staging/camera_download_area.h"
#include "camera/camera_connection.h"
#include "catalogue/media_kind.h"
#include "oakenmere/commands.h"
#include "oakenmere/import_jobs.h"
#include "oakenmere/progress_bar.h"
#include "platform/cancellation.h"
#include "platform/text.h"

namespace oakenmere::cli {

namespace {

using namespace LibraryBundle;
namespace fs = std::filesystem;
using camera::CameraFile;
using catalogue::Catalogue;

struct Landed {
    CameraFile file;  // as the camera listed it
    CameraDownloadLedger::Entry entry;
};

// The file's path inside a download folder ("DCIM/100CANON/IMG_0001.JPG"), or nothing when a
// piece of it is empty, "." or "..", or holds "/": such a name is never written anywhere.
std::optional<std::string> downloadPath(const CameraFile& file) {
    std::string path;
    std::vector<std::string_view> pieces;
    for (std::string_view rest = file.folder; !rest.empty();) {
        const auto slash = rest.find('/');
        if (slash != 0) pieces.push_back(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    pieces.push_back(file.name);
    for (std::string_view piece : pieces) {
        if (piece.empty() || piece == "." || piece == ".." || piece.find('/') != std::string_view::npos ||
            piece.find('\0') != std::string_view::npos)
            return std::nullopt;
        path += (path.empty() ? "" : "/") + std::string(piece);
    }
    return path;
}

bool isHidden(const std::string& path) { return path.starts_with(".") || path.find("/.") != std::string::npos; }

// The files to download, with what is left on the camera counted. A file of a name, size and
// camera time the library holds is taken as imported already, unless the library's copy must be
// proven before it is deleted from the camera: that needs its bytes.
std::vector<CameraFile> toDownload(const std::vector<CameraFile>& files, const Catalogue& catalogue, bool proving, ImportTotals& totals) {
    std::vector<CameraFile> chosen;
    for (const CameraFile& file : files) {
        const auto path = downloadPath(file);
        if (!path) totals.camera->unsafeNames.push_back(file.path());
        else if (!platform::isValidUtf8(*path)) totals.unnamable.push_back(file.path());
        else if (isHidden(*path)) ++totals.leftAlone;
        else if (catalogue::kindOf(file.name) == catalogue::MediaKind::other) ++totals.skipped;
        else if (file.size == 0) ++totals.camera->empty;  // nothing to keep; a card's failed write
        else if (!proving && file.size && file.modified && catalogue.mayHold(file.name, *file.size, *file.modified)) ++totals.duplicates;
        else chosen.push_back(file);
    }
    return chosen;
}

// Downloads each file into `folder`, landed and recorded; a file that fails is named and the
// rest go on.
std::vector<Landed> download(camera::CameraConnection& camera, const std::vector<CameraFile>& files, const fs::path& folder,
                             const std::stop_token& stop, ImportTotals& totals) {
    std::int64_t total = 0;
    for (const CameraFile& file : files) total += file.size.value_or(0);
    ProgressBar bar("Downloading", total, {.threshold = 0, .linesWhenNotTerminal = true});
    const CameraDownloadLedger ledger(folder);
    std::vector<Landed> landed;
    std::int64_t done = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const CameraFile& file = files[i];
        const ProgressBar::Files counted{static_cast<std::int64_t>(i), static_cast<std::int64_t>(files.size())};
        bar.update(done, counted);
        try {
            std::optional<CameraDownload::Time> modified;
            if (file.modified) modified = CameraDownload::Time{*file.modified, 0};
            const auto entry = CameraDownload::download(ledger, *downloadPath(file), modified, [&](const platform::UniqueFd& into) {
                camera.download(
                    file, into, [&](std::int64_t sent) { bar.update(std::min(done + sent, total), counted); }, stop);
            });
            landed.push_back({file, entry});
            totals.camera->downloaded += 1;
            totals.camera->downloadedBytes += entry.size;
        } catch (const platform::CancellationError&) {
            throw;
        } catch (const camera::CameraError& error) {
            ++totals.failures;
            totals.failureReasons.push_back(error.what());  // names the file
        } catch (const std::exception&) {
            ++totals.failures;
            totals.failureReasons.push_back(file.path() + ": " + FolderCopier::reason(std::current_exception()));
        }
        done += file.size.value_or(0);
    }
    bar.finish();
    return landed;
}

// Deletes from the camera each downloaded file whose bytes the library holds, proven as staged
// downloads are before they are deleted (two catalogue lookups, the library's file hashed again),
// and only while the camera still tells of it what it told when it was downloaded. Whatever
// stays is named with the reason.
void deleteProven(camera::CameraConnection& camera, const std::vector<Landed>& landed, const fs::path& library, const Catalogue& catalogue,
                  const std::stop_token& stop, ImportTotals& totals) {
    const StagingDeletion proof(library, false, [&](const std::string& sha) { return catalogue.lookup(sha); });
    bool flushed = false;
    for (const auto& [file, entry] : landed) {
        platform::throwIfCancelled(stop);
        std::string kept;
        try {
            if (!std::holds_alternative<StagingDeletion::Held>(proof.holding(entry.sha256, entry.size, std::nullopt, stop))) {
                kept = "the library\u2019s copy could not be proven";
            } else if (const CameraFile now = camera.info(file.folder, file.name);
                       now.size != entry.size || now.modified != file.modified) {
                kept = "it changed on the camera since it was downloaded";
            } else {
                // The library's new folders and catalogue are on the disk before the camera's copy goes.
                if (!std::exchange(flushed, true)) platform::flushVolumeOf(library);
                camera.remove(file);
                ++totals.camera->deleted;
                continue;
            }
        } catch (const platform::CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            kept = error.what();
        }
        totals.camera->kept.push_back(file.path() + ": " + kept);
    }
}

}  // namespace

void importFromCamera(const std::string& library, const CameraChoice& choice, bool deleting, bool json, const std::stop_token& stop) {
    importing(library, json, [&](const fs::path& package, Catalogue& catalogue, ImportTotals& totals) {
        // Downloads an earlier import left are moved in first, so none is downloaded twice.
        resumeImports(package, catalogue, stop, totals);
        camera::CameraConnection camera(choice.model, choice.port);
        totals.camera = ImportTotals::Camera{camera.camera().name, 0, 0, 0, 0, {}, {}};
        const std::vector<CameraFile> files = toDownload(camera.files(stop), catalogue, deleting, totals);
        if (files.empty()) return;
        std::vector<FoundFile> sized;
        for (const CameraFile& file : files) sized.push_back({file.path(), file.size.value_or(0)});
        requireRoomFor(sized, package);

        const fs::path folder = CameraDownloadArea::newFolder(package);
        const std::vector<Landed> landed = download(camera, files, folder, stop, totals);
        if (landed.empty()) {
            CameraDownloadLedger(folder).removeIfEmpty();
            return;
        }
        std::vector<FoundFile> downloads;
        for (const Landed& file : landed) downloads.push_back({folder / file.entry.path, file.entry.size});
        const std::string source = camera.camera().name + " (" + camera.camera().port + ")";
        const FolderCopyJob job = newImportJob(downloads, package, {source}).moving(folder);
        runJob(FolderCopyArea::save(job, package), job, package, catalogue, stop, totals);
        if (deleting) deleteProven(camera, landed, package, catalogue, stop, totals);
    });
}

}  // namespace oakenmere::cli
