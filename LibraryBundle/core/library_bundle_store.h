#pragma once
// The one owner of "the current library" in a running application: it creates library
// packages, opens existing ones, holds an exclusive lock on the open package while it stays
// open, and closes it.
//
// A package becomes a library only when its identity record "Info.plist" is in place; the
// record is the last thing creation writes, never replaces anything, and appears whole or not
// at all (written unnamed, flushed, then linked in) where the file system allows. Nothing can
// fail once it is there, so if creation fails, what it made is removed: only empty folders and
// the lock file, so nothing that holds user data can go. If the program dies during creation,
// what is left has no identity record, and open refuses it with invalidBundle.
//
// A system crash (power loss) is another matter: create flushes nothing after the record, so
// the package may then be missing, or found without its record or, where the record was
// written in place, with a partial one; open refuses both with invalidBundle, and no user data
// is in a package that new. Activation flushes the record, the package folder and the folder
// holding the package, so an activated library survives a power loss whole.
//
// The lock is an flock on ".brightloft.lock" inside the package and one on the package folder
// itself: a second store, in this process or another, gets libraryInUse until the first closes
// (or its process dies), even if the lock file is removed or replaced meanwhile.
//
// Operations on one store run one at a time.
#include <array>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "LibraryBundle/core/host_contract.h"
#include "LibraryBundle/core/library_info.h"
#include "platform/bytes.h"
#include "platform/unique_fd.h"

namespace oakenmere::LibraryBundle {

struct LibraryDescriptor {
    Uuid id;
    std::string name;  // as stored in the identity record
    std::filesystem::path url;
    Date createdAt;
    bool operator==(const LibraryDescriptor&) const = default;
};

// An exclusive lock on a package's lock file and on the package folder, held until the object
// goes.
class LibraryLock {
public:
    static constexpr const char* fileName = ".brightloft.lock";

    // Fails with libraryInUse when another holder has it, invalidBundle when the lock file is not
    // a regular file (never opened as a terminal nor waited on), or a POSIX error (a lock file
    // that is a symbolic link among them).
    static LibraryLock take(const std::filesystem::path& package);
    // Whether some holder, this process included, has the lock now. Looking takes no lock, so
    // an open at the same moment is never refused because of it; creates nothing.
    static bool isHeldElsewhere(const std::filesystem::path& package);

private:
    LibraryLock(platform::UniqueFd folder, platform::UniqueFd file) : folder_(std::move(folder)), file_(std::move(file)) {}
    platform::UniqueFd folder_;
    platform::UniqueFd file_;
};

class LibraryBundleStore {
public:
    // The folders every package has, made and checked in this order.
    static constexpr std::array<const char*, 7> folders{"Database", "Masters", "Edits", "Jobs", "Staging", "Previews", "Logs"};
    // Folders that newer libraries gain later; neither made nor checked here.
    static constexpr std::array<const char*, 5> newerFolders{"Suggestions", "Masks", "LUTs", "Imports", "Footprints"};

    // Points in creation where a test may step in (to kill the process, say). The two record
    // steps come in activation too.
    enum class CreationCheckpoint { packageMade, lockTaken, folderMade, recordEncoded, recordWrittenUnnamed, recordWritten };

    // `buildName` is written into new identity records as the writer.
    explicit LibraryBundleStore(Host::BuildName buildName = std::nullopt);

    // Makes a new package at `at` and makes it the current library. With `activationDeferred`
    // the identity record is kept back until activateCreatedLibrary(). Fails with
    // libraryAlreadyOpen, invalidLocation, LibraryNameError (a name that is not UTF-8),
    // destinationExists or a POSIX error.
    LibraryDescriptor create(const std::filesystem::path& at, bool activationDeferred = false);
    // Writes the identity record kept back by a deferred create, flushes it, then the package
    // folder and its parent. invalidBundle when there is none; EIO when a folder cannot be
    // opened or flushed. On any
    // failure the record is still pending; once written it stays, so a retry fails with EEXIST.
    void activateCreatedLibrary();
    // Opens an existing package and makes it the current library. Fails with
    // libraryAlreadyOpen, invalidLocation, invalidBundle, unsupportedVersion, libraryInUse or a
    // POSIX error. A failed open changes nothing on disk but may create a missing lock file.
    LibraryDescriptor open(const std::filesystem::path& at);
    // Forgets the current library and releases its lock. Never fails.
    void close();

    // The package's identity record, read and checked as open() does (invalidBundle,
    // unsupportedVersion); locks and changes nothing.
    static LibraryInfo readIdentity(const std::filesystem::path& package);

    std::optional<LibraryDescriptor> currentLibrary() const;
    bool isAwaitingActivation() const;

    // Called at each checkpoint of create, with the package path.
    std::function<void(CreationCheckpoint, const std::filesystem::path&)> creationCheckpointForTesting;

private:
    void checkpoint(CreationCheckpoint point, const std::filesystem::path& package) const;
    // Writes "Info.plist", never replacing one.
    void writeRecord(const platform::UniqueFd& folder, const std::filesystem::path& package, platform::ByteView record) const;

    mutable std::mutex serial_;
    Host::BuildName buildName_;
    std::optional<LibraryDescriptor> currentLibrary_;
    std::optional<LibraryLock> writerLock_;
    std::optional<platform::Bytes> pendingActivation_;
};

// Where a library may live: a library extension, a parent folder that exists on a local
// volume, and not inside a cloud-synchronised folder. Throws invalidLocation otherwise.
void checkLibraryLocation(const std::filesystem::path& at);

}  // namespace oakenmere::LibraryBundle
