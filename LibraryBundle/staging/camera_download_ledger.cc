#include "LibraryBundle/staging/camera_download_ledger.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

#include "LibraryBundle/copying/exclusive_publisher.h"
#include "LibraryBundle/core/bounded_file_reader.h"
#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/maintenance/staging_deletion.h"
#include "platform/block_reader.h"
#include "platform/cancellation.h"
#include "platform/folder_walk.h"
#include "platform/json.h"
#include "platform/json_record.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;
using Entry = CameraDownloadLedger::Entry;

namespace {

std::invalid_argument unrecordableName(const std::string& path) {
    return std::invalid_argument("\u201C" + platform::escapingInvalidUtf8(path) +
                                 "\u201D is not a UTF-8 name, which the ledger cannot record.");
}

bool sameIdentity(const Entry& entry, const platform::FileStatus& status, bool changeTime) {
    if (!status.isRegular()) return false;
    SourceIdentity now = SourceIdentity::of(status);
    // A rename moves the status-change time and nothing else.
    if (!changeTime) now.changedSeconds = entry.changedSeconds, now.changedNanoseconds = entry.changedNanoseconds;
    return now == entry.identity();
}

bool statusMatches(const Entry& entry, const fs::path& path, bool changeTime) {
    try {
        auto status = platform::lstatPath(platform::entryPath(path));
        return status && sameIdentity(entry, *status, changeTime);
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace

bool Entry::isSameFile(const platform::FileStatus& status) const { return sameIdentity(*this, status, true); }
bool Entry::isSameFileRenamed(const platform::FileStatus& status) const { return sameIdentity(*this, status, false); }
bool Entry::matches(const fs::path& path) const { return statusMatches(*this, path, true); }
bool Entry::matchesRenamed(const fs::path& path) const { return statusMatches(*this, path, false); }

std::string Entry::encodeJSON() const {
    // The keys stand in this order in every line, as readers of the file expect.
    platform::OrderedJson record{{"path", path}, {"sha256", sha256}};
    addTo(record);
    return platform::encodeCompactJsonInOrder(record);
}

Entry Entry::decodeJSON(platform::ByteView line) {
    Entry e;
    platform::decodeJsonRecord(line, "entry", e.withJsonFields({{"path", &e.path}, {"sha256", &e.sha256}}));
    // Another writer may have used capitals; checksums are compared and passed on in lower case.
    e.sha256 = platform::lowercasedChecksum(e.sha256);
    return e;
}

void CameraDownloadLedger::fullSynchronize(int fd) {
    // fsync on Linux also asks the drive to empty its cache, which is what a full flush is for.
    if (platform::fileSystem().flush(fd) != 0) platform::throwPosixError(platform::knownErrnoOrEIO(errno), "fsync");
}

CameraDownloadLedger::CameraDownloadLedger(const fs::path& folder, Synchronize synchronizing)
    : folder_(platform::standardizedPath(folder)), synchronize_(std::move(synchronizing)) {}

platform::UniqueFd CameraDownloadLedger::openFolder() const { return PackagePath::openFolder(folder_); }

Entry CameraDownloadLedger::record(const fs::path& file, bool makingDurable) const {
    const std::string path = platform::standardizedPath(file).string();
    const std::string prefix = folder_.string() + "/";
    if (!path.starts_with(prefix)) throw VerifiedCopyError::unsafePath(path);
    const std::string relative = path.substr(prefix.size());
    if (!PackagePath::joined(relative, folder_)) throw VerifiedCopyError::unsafePath(path);
    if (!platform::isValidUtf8(relative)) throw unrecordableName(path);
    PackagePath::rejectSymlinks(path);  // names the link, where one stands on the path now

    const platform::UniqueFd folder = openFolder();
    platform::UniqueFd opened;
    try {
        opened = PackagePath::openInside(folder, relative, O_RDONLY | O_NONBLOCK);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ELOOP)) throw VerifiedCopyError::unsafePath(path);  // a link swapped in since
        throw;
    }
    // The entry describes the file as it was opened: this one status, taken before reading.
    auto status = platform::statDescriptor(opened);
    if (!status) platform::throwLastPosixError("fstat " + platform::inQuotes(path));
    if (!status->isRegular()) throw VerifiedCopyError::unsafePath(path);
    const Entry entry{SourceIdentity::of(*status), relative, platform::sha256OfFile(opened, {})};
    if (makingDurable) synchronize_(opened.get());
    append(entry);
    return entry;
}

void CameraDownloadLedger::append(const Entry& entry) const {
    // One write, a line feed first when a crash cut the last line short, then a flush.
    platform::appendLineDurably(openFolder(), fileName, platform::asBytes(entry.encodeJSON() + "\n"));
}

Entry CameraDownloadLedger::land(const fs::path& partial, const fs::path& final) const {
    (void)platform::openRegularFile(platform::entryPath(partial), O_RDONLY);  // a regular file, not a link or device
    const fs::path destination = platform::standardizedPath(final);
    // Refused before it lands: a landed file the ledger cannot name would never be trusted.
    if (!platform::isValidUtf8(destination.string())) throw unrecordableName(destination.string());
    ExclusivePublisher publisher;
    try {
        publisher.publish(partial, destination);
    } catch (const FilePublishError& error) {
        if (error.kind() == FilePublishError::Case::destinationExists) throw VerifiedCopyError::destinationConflict();
        throw;
    }
    publisher.synchronizeFolder(containing, destination);
    // The downloader made the data durable before landing it.
    return record(destination, false);
}

std::map<std::string, Entry> CameraDownloadLedger::entries() const {
    platform::Bytes bytes;
    try {
        bytes = BoundedFileReader::read(folder_ / fileName, maximumBytes);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ENOENT)) return {};
        throw;
    }
    std::map<std::string, Entry> entries;
    for (auto start = bytes.begin(); start != bytes.end();) {
        const auto feed = std::find(start, bytes.end(), '\n');
        const platform::ByteView line(&*start, static_cast<std::size_t>(feed - start));
        start = feed == bytes.end() ? feed : feed + 1;
        if (line.empty()) continue;
        try {
            Entry entry = Entry::decodeJSON(line);
            if (auto joined = PackagePath::joined(entry.path, folder_)) entries.insert_or_assign(joined->string(), std::move(entry));
        } catch (const platform::DecodingError&) {
            // A torn or damaged line: that file is recorded again when it is next surveyed.
        }
    }
    return entries;
}

std::pair<std::map<std::string, Entry>, CameraDownloadArea::Survey> CameraDownloadLedger::recordingUnlisted(
    const std::stop_token& stop) const {
    CameraDownloadArea::Survey survey = CameraDownloadArea::survey(folder_);
    std::map<std::string, Entry> entries = this->entries();
    for (const std::string& path : survey.complete) {
        auto known = entries.find(path);
        if (known != entries.end() && known->second.matches(path)) continue;
        // A name the ledger cannot hold stays unrecorded, never trusted nor deleted, and does not
        // stop the files after it from being recorded.
        if (!platform::isValidUtf8(path)) continue;
        platform::throwIfCancelled(stop);
        entries.insert_or_assign(path, record(path, true));
    }
    return {std::move(entries), std::move(survey)};
}

bool CameraDownloadLedger::removeSettled(const std::set<std::string>& paths, const StagingDeletion& deleting,
                                         const std::stop_token& stop) const {
    const std::map<std::string, Entry> entries = this->entries();
    const platform::UniqueFd folder = openFolder();
    for (const auto& [path, entry] : entries) {
        if (!paths.contains(path)) continue;
        try {
            const PackagePath::EntryInside file = PackagePath::entryInside(folder, entry.path);
            const platform::UniqueFd& parent = file.folder(folder);
            auto status = platform::statAtFolder(parent.get(), file.name);
            if (!status || !entry.isSameFile(*status)) continue;  // changed or gone: never trusted
            if (!deleting.isSafelyHeld(path, entry.identity(), entry.sha256, stop)) continue;
            // Proving can take a while (the library's copy is hashed): the file must still be the one proven.
            status = platform::statAtFolder(parent.get(), file.name);
            if (status && entry.isSameFile(*status)) platform::unlinkAtIgnoringErrors(parent, file.name);
        } catch (const std::exception&) {
            // A link on the way, or a folder that cannot be opened: the file stays.
        }
    }
    return removeIfEmpty();
}

bool CameraDownloadLedger::removeIfEmpty() const {
    const CameraDownloadArea::Survey survey = CameraDownloadArea::survey(folder_);
    if (!survey.complete.empty() || !survey.partial.empty()) return false;
    if (!platform::unlinkPath(folder_ / fileName) && errno != ENOENT) return false;
    try {
        // Only folders are left; each goes after what it holds, and rmdir takes only empty ones.
        platform::walkFolder(openFolder(), folder_, {.leaving = platform::removeFolderAtIgnoringErrors});
    } catch (const std::exception&) {
        // Whatever could not be walked stays, and so does the folder.
    }
    return platform::removeFolder(folder_);
}

}  // namespace oakenmere::LibraryBundle
