#pragma once
// One folder of presets: opaque blocks of bytes, one file per preset named by its identifier,
// "<id>.oakenmerepreset" (or "<id>.brightloftpreset" as earlier versions wrote them, read, removed
// and restored but never written). Beside them: ".Removed" (removed presets, until restored or
// erased), ".moved.json" (a JSON array of the identifiers noted as moved) and "LUTs" (look-up
// tables named by their content: 64 lower-case hexadecimal digits and ".cube" or ".3dl"). The bytes
// of presets and LUTs are never looked into.
//
// A preset or ".moved.json" is replaced whole: written under a hidden temporary name, flushed and
// renamed over the old file, so a crash leaves the old bytes or the new ones. Entries in the
// folder ("LUTs" and ".Removed" included) are never followed when they are symbolic links; the
// folder itself may be one.
//
// An identifier or LUT name that breaks its rule is FileError::fileWriteInvalidFileName before
// anything is touched; other failures are the file system's (std::system_error) unless an
// operation names a FileError. Operations of one instance run one at a time; instances on the
// same folder rely only on the atomicity of rename.
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/date.h"

namespace oakenmere::LibraryBundle {

class PresetLibrary {
public:
    static constexpr std::string_view fileExtension = "oakenmerepreset", legacyFileExtension = "brightloftpreset", folderName = "Presets",
                                      lutFolderName = "LUTs";

    struct StoredFile {
        std::string id;
        std::optional<platform::Bytes> data;     // absent when the file could not be read
        std::optional<platform::Date> modified;  // the content's modification date
        bool operator==(const StoredFile&) const = default;
    };
    using Environment = std::map<std::string, std::string>;

    // The library package's own presets, in its "Presets" folder.
    static PresetLibrary forLibrary(const std::filesystem::path& package);
    explicit PresetLibrary(std::filesystem::path folder);

    // The shared presets folder: BRIGHTLOFT_SHARED_PRESETS when not empty (made absolute); else, when
    // BRIGHTLOFT_UI_TEST_LIBRARY_DIRECTORY or BRIGHTLOFT_HARNESS is present, a folder of this
    // process's own in the temporary folder ("BrightloftHarnessPresets-<UUID>", the same for every
    // call); else "Brightloft/Presets" in the user's data folder ($XDG_DATA_HOME or ~/.local/share).
    static std::optional<std::filesystem::path> sharedFolder(const Environment& environment);
    // This process's environment variables.
    static Environment processEnvironment();

    // 1 to 64 characters, each scalar a Unicode letter, mark or number, "-" or "_".
    static bool isValidIdentifier(std::string_view id);
    // 64 lower-case hexadecimal digits, ".", then "cube" or "3dl".
    static bool isValidLutName(std::string_view name);
    // `folder` / `fileName` for a valid LUT name; FileError::fileWriteInvalidFileName otherwise.
    static std::filesystem::path lutURL(std::string_view fileName, const std::filesystem::path& folder);

    const std::filesystem::path& folder() const noexcept { return folder_; }
    std::filesystem::path lutFolder() const { return folder_ / lutFolderName; }

    // The presets that are regular files, by identifier in ascending byte order; a preset kept in
    // both forms is read from its current one. Empty when the folder does not exist.
    std::vector<StoredFile> list();
    // Makes the folder as needed, replaces the preset's file and then deletes its legacy file.
    void write(const std::string& id, platform::ByteView data);
    // Moves the preset's files (both forms) into ".Removed", replacing older removed copies;
    // FileError::fileNoSuchFile when it has none.
    void remove(const std::string& id);
    // Moves the removed files back: FileError::fileWriteFileExists while the preset has a file,
    // FileError::fileNoSuchFile when ".Removed" holds none.
    void restore(const std::string& id);
    // Deletes ".Removed" and everything in it.
    void eraseRemoved();
    // Writes a LUT unless one of the name exists (names are content hashes: it holds these bytes).
    void writeLUT(const std::string& fileName, platform::ByteView data);
    // The LUT's bytes; nothing when there is no such file.
    std::optional<platform::Bytes> lutData(const std::string& fileName);
    // The identifiers noted as moved; empty when ".moved.json" is missing, unreadable or broken.
    std::set<std::string> movedIDs();
    // Adds the identifiers to ".moved.json" (making the folder as needed); nothing for none.
    void noteMoved(const std::vector<std::string>& ids);

private:
    // Held by pointer so a library can be moved into place (an optional, a member); a moved-from
    // library is not used again.
    std::unique_ptr<std::mutex> serial_ = std::make_unique<std::mutex>();
    std::filesystem::path folder_;
};

}  // namespace oakenmere::LibraryBundle
