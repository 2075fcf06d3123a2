#include "LibraryBundle/staging/folder_copy_job.h"

#include <algorithm>
#include <stdexcept>

#include "LibraryBundle/core/bounded_file_reader.h"
#include "LibraryBundle/core/host_contract.h"
#include "platform/atomic_write.h"
#include "platform/base64.h"
#include "platform/file_io.h"
#include "platform/json.h"
#include "platform/logger.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;
using platform::Bytes;
using platform::Json;
using platform::JsonObject;

namespace {

// The log's subsystem: the application's earlier bundle identifier.
constexpr const char* kJobFileName = "job.json";

Bytes fromBase64(const Json& value, const std::string& path) {
    auto bytes = platform::base64Decode(JsonObject::toString(value, path));
    if (!bytes) throw platform::DecodingError("the value at " + path + " is not Base64");
    return std::move(*bytes);
}

std::optional<Bytes> optionalBytes(const JsonObject& object, const char* key) {
    auto text = object.optionalString(key);
    if (!text) return std::nullopt;
    return fromBase64(Json(*text), object.path() + "." + key);
}

}  // namespace

std::int64_t FolderCopyJob::totalBytes() const {
    std::int64_t total = 0;
    for (const Copy& copy : copies)
        if (__builtin_add_overflow(total, copy.byteCount, &total)) throw std::overflow_error("the job's size overflows");
    return total;
}

FolderCopyJob FolderCopyJob::with(std::optional<Bytes> options) const {
    FolderCopyJob job = *this;
    job.importOptions = std::move(options);
    return job;
}

FolderCopyJob FolderCopyJob::moving(const fs::path& downloadsFrom) const {
    FolderCopyJob job = *this;
    job.movingDownloadsFrom = platform::standardizedPath(downloadsFrom).string();
    return job;
}

FolderCopyJob FolderCopyJob::retrying(const std::set<std::string>& failed) const {
    FolderCopyJob job = *this;
    job.id = platform::Uuid::random();
    job.copies.clear();
    std::copy_if(copies.begin(), copies.end(), std::back_inserter(job.copies),
                 [&](const Copy& copy) { return failed.contains(copy.source); });
    return job;
}

std::string FolderCopyJob::encodeJSON() const {
    Json copiesJson = Json::array();
    for (const Copy& copy : copies)
        copiesJson.push_back({{"byteCount", copy.byteCount}, {"relativePath", copy.relativePath}, {"source", copy.source}});
    Json bookmarks = Json::array();
    for (const Bytes& bookmark : sourceBookmarks) bookmarks.push_back(platform::base64Encode(bookmark));
    Json job = {{"copies", std::move(copiesJson)}, {"destination", destination}, {"id", id.string()}, {"sourceBookmarks", bookmarks}};
    if (destinationBookmark) job["destinationBookmark"] = platform::base64Encode(*destinationBookmark);
    if (importOptions) job["importOptions"] = platform::base64Encode(*importOptions);
    if (movingDownloadsFrom) job["movingDownloadsFrom"] = *movingDownloadsFrom;
    return platform::encodeCompactJson(job, platform::InvalidUtf8::refuse);
}

FolderCopyJob FolderCopyJob::decodeJSON(platform::ByteView bytes) {
    const Json value = platform::parseJson(bytes);
    const JsonObject object(value, "job");
    FolderCopyJob job;
    job.id = object.uuid("id");
    job.destination = object.string("destination");
    job.destinationBookmark = optionalBytes(object, "destinationBookmark");
    job.importOptions = optionalBytes(object, "importOptions");
    job.movingDownloadsFrom = object.optionalString("movingDownloadsFrom");
    if (auto it = value.find("sourceBookmarks"); it != value.end() && !it->is_null()) {
        const Json& bookmarks = object.array("sourceBookmarks");
        for (std::size_t i = 0; i < bookmarks.size(); ++i)
            job.sourceBookmarks.push_back(fromBase64(bookmarks[i], "job.sourceBookmarks[" + std::to_string(i) + "]"));
    }
    const Json& copies = object.array("copies");
    for (std::size_t i = 0; i < copies.size(); ++i) {
        const JsonObject copy(copies[i], "job.copies[" + std::to_string(i) + "]");
        job.copies.push_back({copy.string("source"), copy.string("relativePath"), copy.int64("byteCount")});
    }
    return job;
}

namespace FolderCopyArea {

std::vector<fs::path> jobs(const fs::path& package) {
    std::vector<std::string> names;
    try {
        names = platform::listDirectory(package / relativePath);
    } catch (const std::system_error&) {
        return {};  // no area, or none that can be read: no jobs
    }
    // A link in a job's place is no job: what it points to may lie outside the package.
    std::erase_if(names, [&](const std::string& name) {
        auto status = platform::lstatPath(package / relativePath / name);
        return !platform::Uuid::parse(name) || !status || !status->isDirectory();
    });
    std::sort(names.begin(), names.end());
    std::vector<fs::path> folders;
    for (const std::string& name : names) folders.push_back(package / relativePath / name / "");
    return folders;
}

fs::path save(const FolderCopyJob& job, const fs::path& package) {
    const fs::path folder = package / relativePath / job.id.string();
    const std::string bytes = job.encodeJSON();
    // A job too large to be read back would never be resumed: refused before anything is written.
    if (static_cast<std::int64_t>(bytes.size()) > jobByteLimit) throw BoundedFileReadError(BoundedFileReadError::Case::tooLarge);
    platform::makeFolderTree(folder, 0755);
    platform::writeFileAtomically(platform::openDirectory(folder), kJobFileName, platform::asBytes(bytes), ".job.json-", "");
    return folder / "";
}

FolderCopyJob load(const fs::path& folder) {
    return FolderCopyJob::decodeJSON(BoundedFileReader::read(platform::entryPath(folder) / kJobFileName, jobByteLimit));
}

std::optional<FolderCopyJob> loadForRecovery(const fs::path& folder) {
    try {
        return load(folder);
    } catch (const std::exception& error) {
        platform::Logger(Host::logSubsystem, "folder-copy")
            .error("Skipping unreadable folder copy job at " + platform::entryPath(folder).string() + ": " + error.what());
        return std::nullopt;
    }
}

void remove(const fs::path& folder) noexcept {
    // The job goes first: a folder left without one is known to be a finished job's remains, and
    // a job that cannot be removed is run again (finding its work done) rather than lose its ledger.
    const fs::path job = platform::entryPath(folder) / kJobFileName;
    if (!platform::unlinkPath(job)) {
        try {
            if (platform::lstatPath(job)) return;
        } catch (const std::system_error&) {
            return;
        }
    }
    platform::removeTreeIgnoringErrors(folder);
}

void removeFinishedRemains(const fs::path& package) noexcept {
    for (const fs::path& folder : jobs(package)) {
        try {
            // Its job is the first thing a job folder gets and the first its finish takes away.
            if (!platform::lstatPath(platform::entryPath(folder) / kJobFileName)) FolderCopyArea::remove(folder);
        } catch (const std::system_error&) {
            // Not readable now: left for a later run.
        }
    }
}

std::optional<fs::path> finish(const fs::path& folder, const std::set<std::string>& failed, const fs::path& package) {
    std::optional<fs::path> next;
    if (!failed.empty()) {
        FolderCopyJob retry = load(folder).retrying(failed);
        if (!retry.copies.empty()) next = save(retry, package);
    }
    FolderCopyArea::remove(folder);
    return next;
}

}  // namespace FolderCopyArea

}  // namespace oakenmere::LibraryBundle
