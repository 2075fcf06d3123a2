#include "LibraryBundle/core/library_bundle_store.h"

#include <cerrno>
#include <vector>

#include "LibraryBundle/core/bounded_file_reader.h"
#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/library_file_type.h"
#include "platform/exclusive_create.h"
#include "platform/file_io.h"
#include "platform/file_lock.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"
#include "platform/text.h"
#include "platform/volume.h"

namespace oakenmere::LibraryBundle {

namespace {

// What create has made so far, removed in reverse if it fails.
struct CreationUndo {
    std::filesystem::path package;
    bool packageMade = false;
    std::vector<std::filesystem::path> folders;
    std::optional<LibraryLock>* lock = nullptr;

    // Never the record: once it has its name, nothing is left that can fail.
    void run() noexcept {
        for (auto it = folders.rbegin(); it != folders.rend(); ++it) platform::removeFolderIgnoringErrors(*it);
        const std::filesystem::path lockFile = package / LibraryLock::fileName;
        if (lock && lock->has_value()) {
            platform::unlinkIgnoringErrors(lockFile);
            lock->reset();
        } else if (isEmptyFile(lockFile)) {
            // Made by a lock that then failed; empty, it holds nothing, and the package cannot go
            // while it is there.
            platform::unlinkIgnoringErrors(lockFile);
        }
        if (packageMade) platform::removeFolderIgnoringErrors(package);
    }

    static bool isEmptyFile(const std::filesystem::path& path) noexcept {
        try {
            auto status = platform::lstatPath(path);
            return status && status->isRegular() && status->size == 0;
        } catch (const std::system_error&) {
            return false;  // unknown: left alone, as anything not provably ours
        }
    }
};

// The package folder as an absolute, normalised path without a trailing "/".
std::filesystem::path packagePathOf(const std::filesystem::path& at) {
    std::filesystem::path package = std::filesystem::absolute(at).lexically_normal();
    return package.has_filename() ? package : package.parent_path();
}

bool isCloudSynchronised(const std::string& path) {
    return path.find("/Library/Mobile Documents/") != std::string::npos || path.find("/Library/CloudStorage/") != std::string::npos;
}

// A record that cannot be read at all means the folder is not a library.
platform::Bytes readIdentityRecord(const std::filesystem::path& package) {
    try {
        return BoundedFileReader::read(package / LibraryInfo::fileName, LibraryInfo::byteLimit);
    } catch (const BoundedFileReadError&) {
    } catch (const std::system_error&) {}
    throw LibraryBundleError::invalidBundle();
}

// A folder that is really a folder: a link or a file in its place makes the package invalid,
// a missing one is the platform's error.
void requireRealFolder(const std::filesystem::path& path) {
    auto status = platform::lstatPath(path);
    if (!status) platform::throwPosixError(ENOENT, "stat " + platform::inQuotes(path.string()));
    if (!status->isDirectory()) throw LibraryBundleError::invalidBundle();
}

}  // namespace

LibraryLock LibraryLock::take(const std::filesystem::path& package) {
    // The folder's lock keeps a second holder out even if the lock file is unlinked under us.
    auto folder = platform::lockFolderExclusively(package);
    if (!folder) throw LibraryBundleError::libraryInUse();
    std::optional<platform::UniqueFd> file;
    try {
        file = platform::lockFileExclusively(package / fileName);
    } catch (const platform::NotRegularFileError&) {
        throw LibraryBundleError::invalidBundle();
    }
    if (!file) throw LibraryBundleError::libraryInUse();
    return LibraryLock(std::move(*folder), std::move(*file));
}

bool LibraryLock::isHeldElsewhere(const std::filesystem::path& package) {
    // Earlier builds lock only the file, so both are asked.
    return platform::isLockHeld(package) || platform::isLockHeld(package / fileName);
}

void checkLibraryLocation(const std::filesystem::path& at) {
    if (at.empty() || !LibraryFileType::isLibraryName(at)) throw LibraryBundleError::invalidLocation();
    std::filesystem::path parent = packagePathOf(at).parent_path();
    std::string resolved = platform::realPath(parent).value_or(parent.string());
    auto status = platform::lstatPath(resolved);
    if (!status || !status->isDirectory()) throw LibraryBundleError::invalidLocation();
    // An unknown answer about the volume counts as local.
    if (platform::volumeFacts(resolved).isLocal == false) throw LibraryBundleError::invalidLocation();
    if (isCloudSynchronised(resolved)) throw LibraryBundleError::invalidLocation();
}

LibraryBundleStore::LibraryBundleStore(Host::BuildName buildName) : buildName_(std::move(buildName)) {}

void LibraryBundleStore::checkpoint(CreationCheckpoint point, const std::filesystem::path& package) const {
    if (creationCheckpointForTesting) creationCheckpointForTesting(point, package);
}

LibraryDescriptor LibraryBundleStore::create(const std::filesystem::path& at, bool activationDeferred) {
    std::lock_guard serial(serial_);
    if (currentLibrary_) throw LibraryBundleError::libraryAlreadyOpen();
    checkLibraryLocation(at);

    std::filesystem::path package = packagePathOf(at);
    if (std::string name = package.stem().string(); !platform::isValidUtf8(name)) throw LibraryNameError(name);
    if (!platform::makeFolder(package, 0700)) throw LibraryBundleError::destinationExists();
    std::optional<LibraryLock> lock;
    CreationUndo undo{package, true, {}, &lock};
    try {
        checkpoint(CreationCheckpoint::packageMade, package);
        lock = LibraryLock::take(package);
        checkpoint(CreationCheckpoint::lockTaken, package);
        for (const char* name : folders) {
            auto folder = package / name;
            if (!platform::makeFolder(folder, 0755)) platform::throwPosixError(EEXIST, "mkdir " + platform::inQuotes(folder.string()));
            undo.folders.push_back(folder);
            checkpoint(CreationCheckpoint::folderMade, folder);
        }
        LibraryInfo info = LibraryInfo::makeNew(package.stem().string(), buildName_);
        platform::Bytes record = info.encode();
        checkpoint(CreationCheckpoint::recordEncoded, package);
        if (activationDeferred) {
            pendingActivation_ = std::move(record);
        } else {
            writeRecord(platform::openDirectory(package), package, record);
        }
        writerLock_ = std::move(lock);
        currentLibrary_ = LibraryDescriptor{info.identifier, info.name, package, info.createdAt};
        return *currentLibrary_;
    } catch (...) {
        pendingActivation_.reset();
        undo.run();
        throw;
    }
}

void LibraryBundleStore::writeRecord(const platform::UniqueFd& folder, const std::filesystem::path& package,
                                     platform::ByteView record) const {
    platform::createFileExclusively(folder, LibraryInfo::fileName, record, [&](platform::ExclusiveCreateStage stage) {
        checkpoint(
            stage == platform::ExclusiveCreateStage::named ? CreationCheckpoint::recordWritten : CreationCheckpoint::recordWrittenUnnamed,
            package);
    });
}

void LibraryBundleStore::activateCreatedLibrary() {
    std::lock_guard serial(serial_);
    if (!currentLibrary_ || !pendingActivation_) throw LibraryBundleError::invalidBundle();
    const std::filesystem::path& package = currentLibrary_->url;
    const platform::UniqueFd folder = platform::openDirectory(package);
    writeRecord(folder, package, *pendingActivation_);
    platform::flushFile(folder, LibraryInfo::fileName);
    platform::flushFolder(package);
    // The package's own entry too: without it a power cut could take the whole library away.
    platform::flushFolder(package.parent_path());
    pendingActivation_.reset();
}

LibraryDescriptor LibraryBundleStore::open(const std::filesystem::path& at) {
    std::lock_guard serial(serial_);
    if (currentLibrary_) throw LibraryBundleError::libraryAlreadyOpen();
    checkLibraryLocation(at);
    std::filesystem::path package = packagePathOf(at);

    auto status = platform::lstatPath(package);
    if (!status) platform::throwPosixError(ENOENT, "stat " + platform::inQuotes(package.string()));
    if (!status->isDirectory()) throw LibraryBundleError::invalidBundle();
    LibraryInfo info = readIdentity(package);
    for (const char* name : folders) requireRealFolder(package / name);
    writerLock_ = LibraryLock::take(package);
    currentLibrary_ = LibraryDescriptor{info.identifier, info.name, package, info.createdAt};
    return *currentLibrary_;
}

LibraryInfo LibraryBundleStore::readIdentity(const std::filesystem::path& package) {
    return LibraryInfo::decodeCheckingVersion(readIdentityRecord(package));
}

void LibraryBundleStore::close() {
    std::lock_guard serial(serial_);
    currentLibrary_.reset();
    pendingActivation_.reset();
    writerLock_.reset();
}

std::optional<LibraryDescriptor> LibraryBundleStore::currentLibrary() const {
    std::lock_guard serial(serial_);
    return currentLibrary_;
}

bool LibraryBundleStore::isAwaitingActivation() const {
    std::lock_guard serial(serial_);
    return pendingActivation_.has_value();
}

}  // namespace oakenmere::LibraryBundle
