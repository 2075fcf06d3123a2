#include "LibraryBundle/core/errors.h"

#include "LibraryBundle/core/library_file_type.h"
#include "platform/text.h"

namespace oakenmere::LibraryBundle {

namespace {

std::string bundleMessage(LibraryBundleError::Case c, std::int64_t version, const std::optional<std::string>& madeBy) {
    using Case = LibraryBundleError::Case;
    const std::string product(kProductName);
    switch (c) {
    case Case::unsupportedVersion:
        if (madeBy)
            return "This library was made by " + product + " " + *madeBy + ", so this one can\u2019t open it. Open it with " + *madeBy +
                   " or later; nothing in the library has been changed.";
        return "This library was made by a newer " + product + " (format " + std::to_string(version) +
               "), so this one can\u2019t open it. Nothing in the library has been changed.";
    case Case::invalidLocation: return "Choose a local folder with a .oakenmere extension.";
    case Case::destinationExists: return "A file or library already exists at that location. Choose a new name.";
    case Case::invalidBundle: return "This folder is not a library " + product + " can open.";
    case Case::libraryAlreadyOpen: return "Close the current library before opening another.";
    case Case::libraryInUse: return "This library is already open in another window or application.";
    }
    return {};
}

std::string copyMessage(VerifiedCopyError::Case c, const std::string& path) {
    using Case = VerifiedCopyError::Case;
    switch (c) {
    case Case::unsafePath: return "The file location contains an unsafe path or symbolic link: " + path;
    case Case::keptCopy: return "The file changed or was removed while it was copied. The copy made of it is kept.";
    case Case::sourceChanged: return "The source changed during copying. The completed copy was not published.";
    case Case::hashMismatch: return "The copied file does not match the recorded source checksum.";
    case Case::destinationConflict: return "A different file already exists at the destination. It was not overwritten.";
    case Case::sourceMismatch: return "The file no longer matches its recorded checksum: it was changed or replaced.";
    }
    return {};
}

}  // namespace

LibraryBundleError::LibraryBundleError(Case c, std::int64_t version, std::optional<std::string> madeBy)
    : case_(c), version_(version), madeBy_(std::move(madeBy)), message_(bundleMessage(case_, version_, madeBy_)) {}

LibraryBundleError LibraryBundleError::unsupportedVersion(std::int64_t version, std::optional<std::string> madeBy) {
    return LibraryBundleError(Case::unsupportedVersion, version, std::move(madeBy));
}

// The bad bytes are shown escaped: written raw they would garble the very message about them.
LibraryNameError::LibraryNameError(std::string name)
    : name_(std::move(name)), message_("The name \u201C" + platform::escapingInvalidUtf8(name_) +
                                       "\u201D contains bytes that aren\u2019t text; choose another name.") {}

namespace {

std::string fileMessage(FileError::Case c, const std::string& name) {
    const std::string quoted = "\u201C" + platform::escapingInvalidUtf8(name) + "\u201D";
    switch (c) {
    case FileError::Case::fileWriteInvalidFileName: return "The name " + quoted + " can\u2019t be used for this file.";
    case FileError::Case::fileNoSuchFile: return "There is no file " + quoted + ".";
    case FileError::Case::fileWriteFileExists: return "A file named " + quoted + " already exists; it was left as it is.";
    case FileError::Case::fileReadNoSuchFile: return "The file " + quoted + " can\u2019t be read because there is no such file.";
    }
    return {};
}

}  // namespace

FileError::FileError(Case c, std::string name) : case_(c), name_(std::move(name)), message_(fileMessage(case_, name_)) {}

const char* LibraryRecoveryError::what() const noexcept {
    switch (case_) {
    case Case::invalidBackup: return "This backup is incomplete or uses an unsupported format.";
    case Case::nestedDestination: return "Choose a destination outside the source library or backup.";
    }
    return "";
}

VerifiedCopyError::VerifiedCopyError(Case c, std::string path, std::string sha256)
    : case_(c), path_(std::move(path)), sha256_(std::move(sha256)), message_(copyMessage(case_, path_)) {}

const char* RelocationMappingError::what() const noexcept {
    switch (case_) {
    case Case::inconsistentFolder:
        return "Choose the relocated file\u2019s containing folder, or an ancestor that preserves the original subfolder layout.";
    }
    return "";
}

namespace {

std::string renameMessage(LibraryRenameError::Case c, const std::string& name) {
    using Case = LibraryRenameError::Case;
    const std::string product(kProductName);
    const std::string quoted = "\u201C" + platform::escapingInvalidUtf8(name) + "\u201D";
    switch (c) {
    case Case::targetExists: return quoted + " already exists in that folder, so the library kept its name.";
    case Case::folderAccessNeeded: return product + " needs access to " + quoted + " to rename it.";
    case Case::notALegacyLibrary: return "Only a library made before beta 14 is given the new name.";
    case Case::notALibrary: return "This folder is not a library " + product + " can open, so it was left as it is.";
    case Case::libraryInUse: return "The library is open in another window or app. Close it, then try again.";
    }
    return {};
}

}  // namespace

LibraryRenameError::LibraryRenameError(Case c, std::string name)
    : case_(c), name_(std::move(name)), message_(renameMessage(case_, name_)) {}

}  // namespace oakenmere::LibraryBundle
