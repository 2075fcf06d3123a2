#include "LibraryBundle/maintenance/library_recovery.h"

#include <algorithm>
#include <fcntl.h>
#include <set>

#include "LibraryBundle/core/bounded_file_reader.h"
#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/package_path.h"
#include "platform/atomic_write.h"
#include "platform/block_reader.h"
#include "platform/cancellation.h"
#include "platform/decoding_error.h"
#include "platform/file_io.h"
#include "platform/folder_walk.h"
#include "platform/text.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;
using Entry = LibraryBackupManifest::Entry;

namespace {

constexpr std::string_view kIdentityRecord = "Info.plist";
constexpr std::size_t kRequiredFolders = 7;  // the rest of packageFolders came later: a library may lack them
constexpr std::array<std::string_view, 3> kLeftOutDatabases{"Database/search.sqlite", "Database/picture-text.sqlite",
                                                            "Database/visual-embeddings.sqlite"};

bool isLeftOut(const std::string& relative) {
    if (relative.ends_with("-shm")) return true;
    if (std::any_of(kLeftOutDatabases.begin(), kLeftOutDatabases.end(),
                    [&](std::string_view prefix) { return relative.starts_with(prefix); }))
        return true;
    return relative.starts_with("Imports/") && !PackagePath::isImportStatePath(relative);
}

// The path with symbolic links resolved as far as it exists; the rest appended as given.
fs::path resolved(const fs::path& path) {
    fs::path existing = platform::standardizedPath(path), rest;
    for (;;) {
        if (auto real = platform::realPath(existing)) return rest.empty() ? fs::path(*real) : (fs::path(*real) / rest).lexically_normal();
        if (existing == existing.root_path()) return platform::standardizedPath(path);
        rest = rest.empty() ? existing.filename() : existing.filename() / rest;
        existing = existing.parent_path();
    }
}

// A destination that is the source or lies inside it would copy into what is being read.
void refuseNested(const fs::path& source, const fs::path& destination) {
    const std::string from = resolved(source).string(), to = resolved(destination).string();
    if (to == from || to.starts_with(from + "/")) throw LibraryRecoveryError::nestedDestination();
}

// The destination, new: never one that exists, never made with the folders above it.
void makeDestination(const fs::path& destination) {
    PackagePath::rejectSymlinks(destination.parent_path());
    if (!platform::makeFolder(destination, 0700)) throw LibraryBundleError::destinationExists();
}

std::int64_t sizeOf(const fs::path& path) {
    try {
        const auto status = platform::lstatPath(path);
        return status ? status->size : 0;
    } catch (const std::system_error&) {
        return 0;  // only progress counts it; the copy will meet the trouble and report it
    }
}

// Lends the copier a progress callback for one operation.
struct CopierProgress {
    VerifiedFileCopy& copier;
    CopierProgress(VerifiedFileCopy& c, std::function<void(std::int64_t)> progress) : copier(c) { copier.progress = std::move(progress); }
    ~CopierProgress() { copier.progress = nullptr; }
};

// Reports progress as a share of everything the operation reads or copies.
struct Tally {
    const LibraryRecovery::Progress& progress;
    std::int64_t total = 0, done = 0;
    void at(std::int64_t within) const {
        if (progress) progress(std::min(done + within, total), total);
    }
    void add(std::int64_t bytes) {
        done += bytes;
        at(0);
    }
};

}  // namespace

std::vector<std::string> LibraryRecovery::filesOf(const fs::path& library) {
    const fs::path package = platform::standardizedPath(library);
    std::vector<std::string> files{std::string(kIdentityRecord)};
    for (std::size_t i = 0; i < packageFolders.size(); ++i) {
        const std::string name = packageFolders[i];
        if (name == "Previews" || name == "Logs") continue;
        const auto folder = PackagePath::joined(name, package);
        if (!folder) throw VerifiedCopyError::unsafePath(name);
        PackagePath::rejectSymlinks(*folder);
        if (i >= kRequiredFolders && !platform::lstatPath(*folder)) continue;
        const std::size_t prefix = folder->string().size() + 1;
        platform::walkFolder(PackagePath::openFolder(*folder), *folder,
                             {.entry = [&](const fs::path& path, const platform::FileStatus& status) {
                                 const std::string relative = name + "/" + path.string().substr(prefix);
                                 if (status.isSymlink()) {
                                     if (PackagePath::isJobWorkingLink(relative)) return;
                                     throw VerifiedCopyError::unsafePath(path.string());
                                 }
                                 if (status.isRegular() && !isLeftOut(relative)) files.push_back(relative);
                             }});
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string LibraryRecovery::hashInside(const platform::UniqueFd& root, const std::string& relative, const std::stop_token& stop) {
    const platform::UniqueFd file = PackagePath::openInside(root, relative, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    const auto before = platform::statDescriptor(file);
    if (!before || !before->isRegular()) throw VerifiedCopyError::unsafePath(relative);
    platform::clearNonBlocking(file);
    platform::adviseSequential(file);
    std::string checksum = platform::sha256OfFile(file, stop);
    const auto after = platform::statDescriptor(file);
    if (!after || SourceIdentity::of(*after) != SourceIdentity::of(*before)) throw VerifiedCopyError::sourceChanged();
    return checksum;
}

void LibraryRecovery::prefetchInside(const platform::UniqueFd& root, const std::string& relative) noexcept {
    try {
        const platform::UniqueFd file = PackagePath::openInside(root, relative, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        if (const auto status = platform::statDescriptor(file); status && status->isRegular()) platform::adviseWillNeed(file);
    } catch (...) {
        // Only speed is lost.
    }
}

LibraryBackupManifest LibraryRecovery::readManifest(const fs::path& backup) {
    const auto path = PackagePath::joined(LibraryBackupManifest::fileName, platform::standardizedPath(backup));
    if (!path) throw VerifiedCopyError::unsafePath(LibraryBackupManifest::fileName);
    PackagePath::rejectSymlinks(*path);
    LibraryBackupManifest manifest;
    try {
        manifest = LibraryBackupManifest::decodeJSON(BoundedFileReader::read(*path, LibraryBackupManifest::maximumBytes));
    } catch (const BoundedFileReadError&) {
        throw LibraryRecoveryError::invalidBackup();
    } catch (const platform::DecodingError&) {
        throw LibraryRecoveryError::invalidBackup();
    }
    if (manifest.formatVersion != 1) throw LibraryRecoveryError::invalidBackup();
    std::set<std::string_view> seen;
    for (const Entry& entry : manifest.files) {
        if (!seen.insert(entry.relativePath).second) throw LibraryRecoveryError::invalidBackup();
        if (entry.relativePath.starts_with("Imports/") && !PackagePath::isImportStatePath(entry.relativePath))
            throw LibraryRecoveryError::invalidBackup();
    }
    if (!seen.contains(kIdentityRecord)) throw LibraryRecoveryError::invalidBackup();
    return manifest;
}

LibraryBackupManifest LibraryRecovery::backupClosedCatalog(const fs::path& library, const fs::path& destination,
                                                           const std::stop_token& stop) {
    std::lock_guard serial(serial_);
    const fs::path package = platform::standardizedPath(library), backup = platform::standardizedPath(destination);
    refuseNested(package, backup);
    const std::vector<std::string> listing = filesOf(package);
    // backup.json could not name such a file: the backup would never validate.
    for (const std::string& relative : listing)
        if (!platform::isValidUtf8(relative))
            throw std::invalid_argument("\u201C" + platform::escapingInvalidUtf8(relative) +
                                        "\u201D is not a UTF-8 name, which a backup cannot record; rename it and back up again.");
    makeDestination(backup);

    // Each file is read for the copy (hashed as it is copied, the copy read back from the device)
    // and once more at the end, to prove the library did not change meanwhile.
    Tally tally{progress};
    for (const std::string& relative : listing) tally.total += 2 * sizeOf(package / relative);
    std::vector<Entry> entries;
    CopierProgress lent(copier_, [&](std::int64_t within) { tally.at(within); });
    for (const std::string& relative : listing) {
        platform::throwIfCancelled(stop);
        const fs::path source = PackagePath::resolve(relative, package), target = PackagePath::resolve(relative, backup);
        platform::makeFolderTree(target.parent_path(), 0755);
        entries.push_back({relative, copier_.copyMeasuring(source, target, std::nullopt, stop)});
        tally.add(sizeOf(target));
    }

    if (filesOf(package) != listing) throw VerifiedCopyError::sourceChanged();
    const platform::UniqueFd root = PackagePath::openFolder(package);
    for (const Entry& entry : entries) {
        platform::throwIfCancelled(stop);
        PackagePath::resolve(entry.relativePath, package);
        if (hashInside(root, entry.relativePath, stop) != entry.sha256) throw VerifiedCopyError::sourceChanged();
        tally.add(sizeOf(package / entry.relativePath));
    }

    const LibraryBackupManifest manifest{1, platform::Date::now(), false, std::move(entries)};
    const platform::UniqueFd folder = PackagePath::openFolder(backup);
    const std::string encoded = manifest.encodeJSON();
    platform::writeFileAtomically(folder, LibraryBackupManifest::fileName, platform::asBytes(encoded), ".backup.json-", "");
    platform::UniqueFd written = platform::openAt(folder, LibraryBackupManifest::fileName, O_WRONLY | O_NOFOLLOW);
    platform::syncDescriptor(written, "fsync backup.json");
    platform::closeChecked(written, "close backup.json");
    return manifest;
}

namespace {

// Hashes every file the manifest lists, beneath the backup's folder; the first that differs fails.
void checkFiles(const LibraryBackupManifest& manifest, const fs::path& backup, Tally& tally, const std::stop_token& stop) {
    const platform::UniqueFd root = PackagePath::openFolder(backup);
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        const Entry& entry = manifest.files[i];
        platform::throwIfCancelled(stop);
        if (i + 1 < manifest.files.size() && PackagePath::joined(manifest.files[i + 1].relativePath, backup))
            LibraryRecovery::prefetchInside(root, manifest.files[i + 1].relativePath);
        PackagePath::resolve(entry.relativePath, backup);
        if (LibraryRecovery::hashInside(root, entry.relativePath, stop) != entry.sha256) throw VerifiedCopyError::hashMismatch();
        tally.add(sizeOf(backup / entry.relativePath));
    }
}

std::int64_t bytesListed(const LibraryBackupManifest& manifest, const fs::path& backup) {
    std::int64_t total = 0;
    for (const Entry& entry : manifest.files)
        if (auto path = PackagePath::joined(entry.relativePath, backup)) total += sizeOf(*path);
    return total;
}

}  // namespace

LibraryBackupManifest LibraryRecovery::validate(const fs::path& backup, const std::stop_token& stop) {
    std::lock_guard serial(serial_);
    const fs::path folder = platform::standardizedPath(backup);
    LibraryBackupManifest manifest = readManifest(folder);
    Tally tally{progress, bytesListed(manifest, folder)};
    checkFiles(manifest, folder, tally, stop);
    return manifest;
}

void LibraryRecovery::restore(const fs::path& backup, const fs::path& destination, const std::stop_token& stop) {
    std::lock_guard serial(serial_);
    const fs::path from = platform::standardizedPath(backup), package = platform::standardizedPath(destination);
    refuseNested(from, package);
    const LibraryBackupManifest manifest = readManifest(from);
    Tally tally{progress, 2 * bytesListed(manifest, from)};
    checkFiles(manifest, from, tally, stop);
    makeDestination(package);
    for (const char* name : packageFolders)
        if (!platform::makeFolder(package / name, 0755)) throw LibraryBundleError::destinationExists();

    // The identity record comes last: until every other file is in place, the folder is no library.
    std::vector<const Entry*> order;
    for (const Entry& entry : manifest.files) order.push_back(&entry);
    std::sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) {
        return std::pair(a->relativePath == kIdentityRecord, a->relativePath) <
               std::pair(b->relativePath == kIdentityRecord, b->relativePath);
    });
    CopierProgress lent(copier_, [&](std::int64_t within) { tally.at(within); });
    for (const Entry* entry : order) {
        platform::throwIfCancelled(stop);
        const fs::path source = PackagePath::resolve(entry->relativePath, from),
                       target = PackagePath::resolve(entry->relativePath, package);
        platform::makeFolderTree(target.parent_path(), 0755);
        copier_.copy(source, target, entry->sha256, stop);
        tally.add(sizeOf(target));
    }
}

}  // namespace oakenmere::LibraryBundle
