#pragma once
// The package layer's shared failures. Each is an exception whose what() is the exact message
// shown to the user; values compare equal when their case and payload are equal.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace oakenmere::LibraryBundle {

// Creating, opening and reading a library.
class LibraryBundleError : public std::exception {
public:
    enum class Case { unsupportedVersion, invalidLocation, destinationExists, invalidBundle, libraryAlreadyOpen, libraryInUse };

    static LibraryBundleError unsupportedVersion(std::int64_t version, std::optional<std::string> madeBy);
    static LibraryBundleError invalidLocation() { return LibraryBundleError(Case::invalidLocation); }
    static LibraryBundleError destinationExists() { return LibraryBundleError(Case::destinationExists); }
    static LibraryBundleError invalidBundle() { return LibraryBundleError(Case::invalidBundle); }
    static LibraryBundleError libraryAlreadyOpen() { return LibraryBundleError(Case::libraryAlreadyOpen); }
    static LibraryBundleError libraryInUse() { return LibraryBundleError(Case::libraryInUse); }

    Case kind() const noexcept { return case_; }
    // Payload of unsupportedVersion.
    std::int64_t version() const noexcept { return version_; }
    const std::optional<std::string>& madeBy() const noexcept { return madeBy_; }

    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const LibraryBundleError& a, const LibraryBundleError& b) noexcept {
        return a.case_ == b.case_ && a.version_ == b.version_ && a.madeBy_ == b.madeBy_;
    }

private:
    explicit LibraryBundleError(Case c, std::int64_t version = 0, std::optional<std::string> madeBy = std::nullopt);

    Case case_;
    std::int64_t version_;
    std::optional<std::string> madeBy_;
    std::string message_;
};

// A new library's name that is not text (bytes that are not UTF-8), which the identity record
// could not keep: refused before anything is made.
class LibraryNameError : public std::exception {
public:
    explicit LibraryNameError(std::string name);
    const std::string& name() const noexcept { return name_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string name_;
    std::string message_;
};

// Safe paths, file identities and verified copies.
class VerifiedCopyError : public std::exception {
public:
    enum class Case { unsafePath, keptCopy, sourceChanged, hashMismatch, destinationConflict, sourceMismatch };

    static VerifiedCopyError unsafePath(std::string path) { return VerifiedCopyError(Case::unsafePath, std::move(path)); }
    static VerifiedCopyError keptCopy(std::string path, std::string sha256) {
        return VerifiedCopyError(Case::keptCopy, std::move(path), std::move(sha256));
    }
    static VerifiedCopyError sourceChanged() { return VerifiedCopyError(Case::sourceChanged); }
    static VerifiedCopyError hashMismatch() { return VerifiedCopyError(Case::hashMismatch); }
    static VerifiedCopyError destinationConflict() { return VerifiedCopyError(Case::destinationConflict); }
    static VerifiedCopyError sourceMismatch() { return VerifiedCopyError(Case::sourceMismatch); }

    Case kind() const noexcept { return case_; }
    // Payload of unsafePath and keptCopy.
    const std::string& path() const noexcept { return path_; }
    // Payload of keptCopy.
    const std::string& sha256() const noexcept { return sha256_; }

    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const VerifiedCopyError& a, const VerifiedCopyError& b) noexcept {
        return a.case_ == b.case_ && a.path_ == b.path_ && a.sha256_ == b.sha256_;
    }

private:
    explicit VerifiedCopyError(Case c, std::string path = {}, std::string sha256 = {});

    Case case_;
    std::string path_;
    std::string sha256_;
    std::string message_;
};

// The file-name and existence failures of the platform's file layer, named as it names them;
// `name` is the file's name or path as given.
class FileError : public std::exception {
public:
    enum class Case { fileWriteInvalidFileName, fileNoSuchFile, fileWriteFileExists, fileReadNoSuchFile };

    FileError(Case c, std::string name);
    Case kind() const noexcept { return case_; }
    const std::string& name() const noexcept { return name_; }
    const char* what() const noexcept override { return message_.c_str(); }
    friend bool operator==(const FileError& a, const FileError& b) noexcept { return a.case_ == b.case_ && a.name_ == b.name_; }

private:
    Case case_;
    std::string name_;
    std::string message_;
};

// Backups and their restoration.
class LibraryRecoveryError : public std::exception {
public:
    enum class Case { invalidBackup, nestedDestination };

    static LibraryRecoveryError invalidBackup() { return LibraryRecoveryError(Case::invalidBackup); }
    static LibraryRecoveryError nestedDestination() { return LibraryRecoveryError(Case::nestedDestination); }

    Case kind() const noexcept { return case_; }
    const char* what() const noexcept override;
    friend bool operator==(const LibraryRecoveryError& a, const LibraryRecoveryError& b) noexcept { return a.case_ == b.case_; }

private:
    explicit LibraryRecoveryError(Case c) : case_(c) {}
    Case case_;
};

// Relinking originals that were moved outside the library: the folder the user chose does not
// keep the layout below it that the located file had.
class RelocationMappingError : public std::exception {
public:
    enum class Case { inconsistentFolder };

    static RelocationMappingError inconsistentFolder() { return RelocationMappingError(Case::inconsistentFolder); }

    Case kind() const noexcept { return case_; }
    const char* what() const noexcept override;
    friend bool operator==(const RelocationMappingError& a, const RelocationMappingError& b) noexcept { return a.case_ == b.case_; }

private:
    explicit RelocationMappingError(Case c) : case_(c) {}
    Case case_;
};

// Giving a library of the earlier name the current extension; every refusal leaves it as it was.
class LibraryRenameError : public std::exception {
public:
    enum class Case { targetExists, folderAccessNeeded, notALegacyLibrary, notALibrary, libraryInUse };

    // `name`: the new package name that is taken.
    static LibraryRenameError targetExists(std::string name) { return LibraryRenameError(Case::targetExists, std::move(name)); }
    // `name`: the folder that holds the library.
    static LibraryRenameError folderAccessNeeded(std::string name) { return LibraryRenameError(Case::folderAccessNeeded, std::move(name)); }
    static LibraryRenameError notALegacyLibrary() { return LibraryRenameError(Case::notALegacyLibrary); }
    static LibraryRenameError notALibrary() { return LibraryRenameError(Case::notALibrary); }
    static LibraryRenameError libraryInUse() { return LibraryRenameError(Case::libraryInUse); }

    Case kind() const noexcept { return case_; }
    // Payload of targetExists and folderAccessNeeded.
    const std::string& name() const noexcept { return name_; }
    const char* what() const noexcept override { return message_.c_str(); }
    friend bool operator==(const LibraryRenameError& a, const LibraryRenameError& b) noexcept {
        return a.case_ == b.case_ && a.name_ == b.name_;
    }

private:
    explicit LibraryRenameError(Case c, std::string name = {});
    Case case_;
    std::string name_;
    std::string message_;
};

}  // namespace oakenmere::LibraryBundle
