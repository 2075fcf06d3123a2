#include "LibraryBundle/presets/preset_exchange.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/presets/preset_library.h"
#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/publish_calls.h"
#include "platform/quoted.h"
#include "platform/text.h"
#include "platform/uuid.h"

namespace oakenmere::LibraryBundle::PresetExchange {

namespace fs = std::filesystem;
using platform::Bytes;
using platform::inQuotes;
using platform::UniqueFd;

static_assert(fileExtension == PresetLibrary::fileExtension, "a package and a preset file share their extension");

namespace {

constexpr std::size_t kNameLimit = 120;

// The regular file `name` in the package, opened without following a link; nothing for a link,
// folder, FIFO or device, which no package holds.
std::optional<platform::OpenedRegularFile> openEntry(const UniqueFd& package, const std::string& name) {
    const auto entry = platform::statAtFolder(package.get(), name);
    if (!entry && errno != ENOENT) platform::throwLastPosixError("lstat " + inQuotes(name));
    if (!entry || !entry->isRegular()) return std::nullopt;
    UniqueFd file;
    try {
        file = PackagePath::openInside(package, name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ENOENT) || platform::isPosixError(error, ELOOP)) return std::nullopt;  // swapped meanwhile
        throw;
    }
    const auto status = platform::statDescriptor(file);
    if (!status) platform::throwLastPosixError("fstat " + inQuotes(name));
    if (!status->isRegular()) return std::nullopt;
    platform::clearNonBlocking(file);
    return platform::OpenedRegularFile{std::move(file), *status};
}

// The file's bytes, refused as tooLarge past `limit`: by its size first, then by what it held.
Bytes readBounded(const platform::OpenedRegularFile& opened, std::int64_t limit) {
    if (opened.status.size > limit) throw ExchangeError::tooLarge();
    Bytes bytes(static_cast<std::size_t>(std::max<std::int64_t>(opened.status.size, 0)) + 1);
    std::size_t used = 0;
    for (std::size_t n; (n = platform::readSome(opened.fd, std::span(bytes).subspan(used))) > 0;) {
        used += n;
        if (used < bytes.size()) continue;
        if (static_cast<std::int64_t>(used) > limit) throw ExchangeError::tooLarge();  // it grew while read
        bytes.resize(static_cast<std::size_t>(std::min(static_cast<std::int64_t>(used) * 2, limit + 1)));
    }
    bytes.resize(used);
    return bytes;
}

void writeEntry(const UniqueFd& folder, const std::string& name, platform::ByteView bytes) {
    UniqueFd file = platform::openAt(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    platform::writeAll(file, bytes, "write " + inQuotes(name));
    platform::syncDescriptor(file, "fsync " + inQuotes(name));
    platform::closeChecked(file, "close " + inQuotes(name));
}

bool isTaken(const fs::path& path) {
    try {
        return platform::lstatPath(path).has_value();
    } catch (const std::system_error&) {
        return false;  // writing there meets the same trouble and reports it
    }
}

}  // namespace

const char* ExchangeError::what() const noexcept {
    switch (case_) {
    case Case::notAPreset: return "This isn\u2019t a preset Oakenmere reads.";
    case Case::tooLarge: return "This preset is larger than Oakenmere reads.";
    }
    return "";
}

void write(const Contents& contents, const fs::path& destination) {
    const fs::path target = platform::standardizedPath(destination), parent = target.parent_path();
    const std::string name = target.filename().string();
    if (platform::lstatPath(target)) throw FileError(FileError::Case::fileWriteFileExists, name);
    const std::string stagingName = "." + platform::Uuid::random().string() + "." + std::string(fileExtension);
    const fs::path staging = parent / stagingName;
    if (!platform::makeFolder(staging, 0755)) platform::throwPosixError(EEXIST, "mkdir " + inQuotes(staging.string()));
    try {
        {
            UniqueFd folder = platform::openDirectory(staging);
            writeEntry(folder, std::string(presetName), contents.preset);
            for (const auto& [lut, bytes] : contents.luts) {
                PresetLibrary::lutURL(lut, staging);
                writeEntry(folder, lut, bytes);
            }
            platform::syncDescriptor(folder, "fsync " + inQuotes(stagingName));
        }
        const UniqueFd into = platform::openPath(parent, O_RDONLY | O_DIRECTORY);
        const auto folder = platform::FolderRef::of(into);
        int err = platform::renameNoReplace(folder, stagingName, folder, name);
        if (platform::isUnsupportedByVolume(platform::VolumeCall::exclusiveRename, err))
            err = isTaken(target) ? EEXIST : platform::renameReplacing(folder, stagingName, folder, name);
        if (err == EEXIST || err == ENOTEMPTY) throw FileError(FileError::Case::fileWriteFileExists, name);
        if (err != 0) platform::throwPosixError(err, "rename " + inQuotes(stagingName) + " to " + inQuotes(name));
        (void)platform::syncFolder(into);  // the package is whole and in place; only its durability is at stake
    } catch (...) {
        platform::removeTreeIgnoringErrors(staging);  // the failure that brought us here is the one to report
        throw;
    }
}

Contents read(const fs::path& source) {
    UniqueFd opened;
    try {
        // The package itself may be reached through a link the user chose; nothing in it is.
        opened = platform::openPath(source, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ENOENT))
            throw FileError(FileError::Case::fileReadNoSuchFile, platform::entryPath(source).filename().string());
        throw;
    }
    const auto status = platform::statDescriptor(opened);
    if (!status) platform::throwLastPosixError("fstat " + inQuotes(source.string()));
    if (status->isRegular()) {
        platform::clearNonBlocking(opened);
        return {readBounded({std::move(opened), *status}, presetLimit), {}};
    }
    if (!status->isDirectory()) throw ExchangeError::notAPreset();

    const auto preset = openEntry(opened, std::string(presetName));
    if (!preset) throw ExchangeError::notAPreset();
    Contents contents{readBounded(*preset, presetLimit), {}};
    for (const std::string& name : platform::listDirectory(opened, source)) {
        if (name == presetName || name.starts_with('.') || !PresetLibrary::isValidLutName(name)) continue;
        if (const auto lut = openEntry(opened, name)) contents.luts.emplace(name, readBounded(*lut, lutLimit));
    }
    return contents;
}

fs::path availableURL(std::string_view name, const fs::path& folder) {
    std::string text(name);
    // A NUL would end the name early in every system call.
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '/' || c == ':' || c == '\\' || c == '\0'; }, '-');
    std::string base;
    std::size_t kept = 0;
    for (const std::string& character : platform::graphemeClustersKeepingBytes(text)) {
        if (kept++ == kNameLimit) break;
        base += character;
    }
    const auto first = base.find_first_not_of(" \t");
    base = first == std::string::npos ? "" : base.substr(first, base.find_last_not_of(" \t") + 1 - first);
    if (base.empty() || base.starts_with('.')) base = "Preset";

    const std::string extension = "." + std::string(fileExtension);
    fs::path candidate = folder / (base + extension);
    for (int counter = 2; isTaken(candidate); ++counter) candidate = folder / (base + " " + std::to_string(counter) + extension);
    return candidate;
}

}  // namespace oakenmere::LibraryBundle::PresetExchange
