#include "LibraryBundle/presets/preset_library.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include "LibraryBundle/core/errors.h"
#include "platform/atomic_write.h"
#include "platform/file_io.h"
#include "platform/json.h"
#include "platform/posix_error.h"
#include "platform/publish_calls.h"
#include "platform/quoted.h"
#include "platform/text.h"
#include "platform/uuid.h"
#include "platform/xdg.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;
using platform::Bytes;
using platform::inQuotes;
using platform::UniqueFd;

namespace {

constexpr const char* kRemovedFolder = ".Removed";
constexpr const char* kMovedFile = ".moved.json";
constexpr std::int64_t kMovedLimit = std::int64_t{16} << 20;  // far beyond any real record; more is taken as broken
constexpr std::size_t kIdentifierLimit = 64;

std::string fileName(const std::string& id, std::string_view extension) { return id + "." + std::string(extension); }

std::string checkedFileName(const std::string& id, std::string_view extension) {
    if (!PresetLibrary::isValidIdentifier(id)) throw FileError(FileError::Case::fileWriteInvalidFileName, id);
    return fileName(id, extension);
}

// The folder itself may be a link (a shared folder kept elsewhere); what is in it never is followed.
UniqueFd openFolder(const fs::path& folder) { return platform::openPath(folder, O_RDONLY | O_DIRECTORY); }

std::optional<UniqueFd> openFolderIfPresent(const fs::path& folder) {
    try {
        return openFolder(folder);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ENOENT)) return std::nullopt;
        throw;
    }
}

std::optional<UniqueFd> openSubfolderIfPresent(const UniqueFd& parent, const std::string& name) {
    try {
        return platform::openAt(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ENOENT)) return std::nullopt;
        throw;
    }
}

// The subfolder `name` of the presets folder, reached without following a link at either level
// below the presets folder itself; nothing when either is missing.
std::optional<UniqueFd> openInnerFolderIfPresent(const fs::path& folder, const std::string& name) {
    const auto opened = openFolderIfPresent(folder);
    return opened ? openSubfolderIfPresent(*opened, name) : std::nullopt;
}

// Whether `folder` has an entry `name`, a link counting as one whatever it points to.
bool hasEntry(const UniqueFd& folder, const std::string& name) {
    if (platform::statAtFolder(folder.get(), name)) return true;
    if (errno == ENOENT) return false;
    platform::throwLastPosixError("lstat " + inQuotes(name));
}

// Reads to the end, at most `limit` + 1 bytes; nothing when there were more than `limit`.
std::optional<Bytes> readUpTo(const UniqueFd& file, std::int64_t expected, std::int64_t limit) {
    Bytes bytes(static_cast<std::size_t>(std::clamp<std::int64_t>(expected, 0, limit) + 1));
    std::size_t used = 0;
    for (std::size_t n; (n = platform::readSome(file, std::span(bytes).subspan(used))) > 0;) {
        used += n;
        if (used < bytes.size()) continue;
        if (static_cast<std::int64_t>(used) > limit) return std::nullopt;
        bytes.resize(static_cast<std::size_t>(std::min(static_cast<std::int64_t>(used) * 2, limit + 1)));
    }
    bytes.resize(used);
    return bytes;
}

// The regular file `name` in `folder`, never through a link; more than `limit` bytes is EFBIG.
Bytes readWhole(const UniqueFd& folder, const std::string& name, std::int64_t limit = INT64_MAX - 1) {
    const UniqueFd file = platform::openAt(folder, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    const auto status = platform::statDescriptor(file);
    if (!status) platform::throwLastPosixError("fstat " + inQuotes(name));
    if (!status->isRegular()) throw platform::NotRegularFileError(name);
    platform::clearNonBlocking(file);
    auto bytes = status->size > limit ? std::nullopt : readUpTo(file, status->size, limit);
    if (!bytes) platform::throwPosixError(EFBIG, "read " + inQuotes(name));
    return std::move(*bytes);
}

void makeFolderAt(const UniqueFd& parent, const std::string& name) {
    if (platform::fileSystem().makeFolderAt(parent.get(), name.c_str(), 0755) != 0 && errno != EEXIST)
        platform::throwLastPosixError("mkdir " + inQuotes(name));
}

// Deletes `name` in `parent` and, for a folder, everything in it, never following a link.
void removeEntryTree(const UniqueFd& parent, const std::string& name) {
    if (platform::fileSystem().unlinkAt(parent.get(), name.c_str()) == 0 || errno == ENOENT) return;
    if (errno != EISDIR) platform::throwLastPosixError("unlink " + inQuotes(name));
    {
        const UniqueFd folder = platform::openAt(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        for (const std::string& inner : platform::listDirectory(folder, name)) removeEntryTree(folder, inner);
    }
    if (platform::fileSystem().unlinkAt(parent.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        platform::throwLastPosixError("rmdir " + inQuotes(name));
}

std::set<std::string> movedIn(const fs::path& folder) {
    try {
        const auto opened = openFolderIfPresent(folder);
        if (!opened) return {};
        const platform::Json value = platform::parseJson(readWhole(*opened, kMovedFile, kMovedLimit));
        if (!value.is_array()) return {};
        std::set<std::string> ids;
        for (const platform::Json& element : value) {
            if (!element.is_string()) return {};
            ids.insert(element.get<std::string>());
        }
        return ids;
    } catch (const std::exception&) {
        return {};  // a missing or broken record counts as empty; the next noteMoved rewrites it
    }
}

fs::path temporaryDirectory() {
    const char* base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

}  // namespace

PresetLibrary PresetLibrary::forLibrary(const fs::path& package) { return PresetLibrary(package / folderName); }

PresetLibrary::PresetLibrary(fs::path folder) : folder_(std::move(folder)) {}

std::optional<fs::path> PresetLibrary::sharedFolder(const Environment& environment) {
    if (auto shared = environment.find("BRIGHTLOFT_SHARED_PRESETS"); shared != environment.end() && !shared->second.empty())
        return fs::absolute(fs::path(shared->second));  // a relative value names it from where we stand now
    if (environment.contains("BRIGHTLOFT_UI_TEST_LIBRARY_DIRECTORY") || environment.contains("BRIGHTLOFT_HARNESS")) {
        // Made once: every library of one harness run shares it, and no run sees another's.
        static const fs::path harness = temporaryDirectory() / ("BrightloftHarnessPresets-" + platform::Uuid::random().string());
        return harness;
    }
    return platform::dataHome() / "Brightloft" / folderName;
}

PresetLibrary::Environment PresetLibrary::processEnvironment() {
    Environment environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        if (const auto equals = text.find('='); equals != std::string_view::npos)
            environment.emplace(text.substr(0, equals), text.substr(equals + 1));  // the first of twins wins, as with getenv
    }
    return environment;
}

bool PresetLibrary::isValidIdentifier(std::string_view id) {
    if (id.empty() || id.size() > INT32_MAX) return false;
    const auto length = static_cast<std::int32_t>(id.size());
    for (std::int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(id.data(), i, length, c);
        if (c < 0) return false;
        if (c != '-' && c != '_' && (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) == 0) return false;
    }
    return platform::hasAtMostGraphemes(id, kIdentifierLimit);
}

bool PresetLibrary::isValidLutName(std::string_view name) {
    constexpr std::size_t kDigits = 64;
    if (name.find('.') != kDigits || name.find('.', kDigits + 1) != std::string_view::npos) return false;
    const std::string_view digits = name.substr(0, kDigits), extension = name.substr(kDigits + 1);
    return std::all_of(digits.begin(), digits.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }) &&
           (extension == "cube" || extension == "3dl");
}

fs::path PresetLibrary::lutURL(std::string_view fileName, const fs::path& folder) {
    if (!isValidLutName(fileName)) throw FileError(FileError::Case::fileWriteInvalidFileName, std::string(fileName));
    return folder / fileName;
}

std::vector<PresetLibrary::StoredFile> PresetLibrary::list() {
    std::lock_guard serial(*serial_);
    const auto folder = openFolderIfPresent(folder_);
    if (!folder) return {};
    std::map<std::string, std::string> chosen;  // identifier → file name, in identifier order
    for (const std::string& name : platform::listDirectory(*folder, folder_)) {
        const auto dot = name.rfind('.');
        if (name.starts_with('.') || dot == std::string::npos) continue;
        const std::string id = name.substr(0, dot);
        const std::string_view extension = std::string_view(name).substr(dot + 1);
        if (extension == fileExtension) chosen.insert_or_assign(id, name);
        if (extension == legacyFileExtension) chosen.try_emplace(id, name);
    }
    std::vector<StoredFile> files;
    for (const auto& [id, name] : chosen) {
        const auto status = platform::statAtFolder(folder->get(), name);
        if (!status || !status->isRegular()) continue;
        std::optional<Bytes> data;
        try {
            data = readWhole(*folder, name);
        } catch (const std::exception&) {
            // An unreadable preset is still listed, without its bytes, so it can be removed.
        }
        const double seconds = static_cast<double>(status->modifiedSeconds) + static_cast<double>(status->modifiedNanoseconds) / 1e9;
        files.push_back({id, std::move(data), platform::Date::fromUnixSeconds(seconds)});
    }
    return files;
}

void PresetLibrary::write(const std::string& id, platform::ByteView data) {
    std::lock_guard serial(*serial_);
    const std::string name = checkedFileName(id, fileExtension), legacy = fileName(id, legacyFileExtension);
    platform::makeFolderTree(folder_, 0755);
    const UniqueFd folder = openFolder(folder_);
    platform::writeFileAtomically(folder, name, data, "." + id + ".", ".tmp");
    removeEntryTree(folder, legacy);
}

void PresetLibrary::remove(const std::string& id) {
    std::lock_guard serial(*serial_);
    const std::array<std::string, 2> names{checkedFileName(id, fileExtension), fileName(id, legacyFileExtension)};
    const auto folder = openFolderIfPresent(folder_);
    std::vector<std::string> present;
    for (const std::string& name : names)
        if (folder && hasEntry(*folder, name)) present.push_back(name);
    if (present.empty()) throw FileError(FileError::Case::fileNoSuchFile, names[0]);
    makeFolderAt(*folder, kRemovedFolder);
    const UniqueFd removed = platform::openAt(*folder, kRemovedFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    // Replacing in one rename: an older removed copy is gone only once the new one is in its place.
    for (const std::string& name : present)
        if (const int err = platform::renameReplacing(platform::FolderRef::of(*folder), name, platform::FolderRef::of(removed), name))
            platform::throwPosixError(err, "rename " + inQuotes(name) + " into " + inQuotes(kRemovedFolder));
}

void PresetLibrary::restore(const std::string& id) {
    std::lock_guard serial(*serial_);
    const std::array<std::string, 2> names{checkedFileName(id, fileExtension), fileName(id, legacyFileExtension)};
    const auto folder = openFolderIfPresent(folder_);
    if (folder)
        for (const std::string& name : names)
            if (hasEntry(*folder, name)) throw FileError(FileError::Case::fileWriteFileExists, name);
    const auto removed = folder ? openSubfolderIfPresent(*folder, kRemovedFolder) : std::nullopt;
    std::vector<std::string> present;
    for (const std::string& name : names)
        if (removed && hasEntry(*removed, name)) present.push_back(name);
    if (present.empty()) throw FileError(FileError::Case::fileNoSuchFile, names[0]);
    const auto from = platform::FolderRef::of(*removed), to = platform::FolderRef::of(*folder);
    for (const std::string& name : present) {
        int err = platform::renameNoReplace(from, name, to, name);
        if (platform::isUnsupportedByVolume(platform::VolumeCall::exclusiveRename, err))
            err = platform::renameReplacing(from, name, to, name);
        if (err == EEXIST) throw FileError(FileError::Case::fileWriteFileExists, name);  // written meanwhile by another process
        if (err != 0) platform::throwPosixError(err, "rename " + inQuotes(name) + " out of " + inQuotes(kRemovedFolder));
    }
}

void PresetLibrary::eraseRemoved() {
    std::lock_guard serial(*serial_);
    if (const auto folder = openFolderIfPresent(folder_)) removeEntryTree(*folder, kRemovedFolder);
}

void PresetLibrary::writeLUT(const std::string& fileName, platform::ByteView data) {
    std::lock_guard serial(*serial_);
    lutURL(fileName, lutFolder());
    const std::string luts(lutFolderName);
    if (const auto existing = openInnerFolderIfPresent(folder_, luts); existing && hasEntry(*existing, fileName)) return;
    platform::makeFolderTree(folder_, 0755);
    const UniqueFd folder = openFolder(folder_);
    makeFolderAt(folder, luts);
    // A "LUTs" that is a link fails here rather than take the bytes elsewhere.
    const UniqueFd into = platform::openAt(folder, luts, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    platform::writeFileAtomically(into, fileName, data, "." + fileName + "-", "");
}

std::optional<Bytes> PresetLibrary::lutData(const std::string& fileName) {
    std::lock_guard serial(*serial_);
    lutURL(fileName, lutFolder());
    const auto luts = openInnerFolderIfPresent(folder_, std::string(lutFolderName));
    if (!luts || !hasEntry(*luts, fileName)) return std::nullopt;
    return readWhole(*luts, fileName);
}

std::set<std::string> PresetLibrary::movedIDs() {
    std::lock_guard serial(*serial_);
    return movedIn(folder_);
}

void PresetLibrary::noteMoved(const std::vector<std::string>& ids) {
    if (ids.empty()) return;
    std::lock_guard serial(*serial_);
    std::set<std::string> moved = movedIn(folder_);
    moved.insert(ids.begin(), ids.end());
    platform::makeFolderTree(folder_, 0755);
    const std::string encoded = platform::encodePrettyJson(platform::Json(moved));
    platform::writeFileAtomically(openFolder(folder_), kMovedFile, platform::asBytes(encoded), ".moved.json-", "");
}

}  // namespace oakenmere::LibraryBundle
