// Arbitrary bytes as an exchange package imported into a presets folder the way the program
// imports one. Byte 0 says how the package is offered: bit 0, the presets folder's "LUTs" is a
// link to a folder outside it; bit 1, the package is reached through a link; bit 2, a plain file
// comes instead of a package; bit 3, no "preset.json" is made first. The rest, split at
// "\xFF\xFE", is the bytes of "preset.json" and then up to eight entries, each a kind byte (a
// file, a link leading out of the package, a folder, a FIFO, a sparse file at or past a limit), a
// name byte (preset.json, LUT names and near misses, or the entry's own bytes as its name) and the
// entry's bytes.
//
// Reading gives exactly what a package of those entries may hold, or notAPreset or tooLarge where
// they call for it, and nothing else. Importing changes nothing outside the presets folder and
// puts in it only the preset and the LUTs read. The same bytes as ".moved.json" never throw, and
// noting one more identifier keeps every one read before.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "LibraryBundle/presets/preset_exchange.h"
#include "LibraryBundle/presets/preset_library.h"
#include "fuzz/scratch_folder.h"
#include "platform/file_io.h"
#include "platform/file_system.h"

using namespace oakenmere;
namespace fs = std::filesystem;
namespace Exchange = LibraryBundle::PresetExchange;
using LibraryBundle::PresetLibrary;
using platform::Bytes;

namespace {

const std::string kLutA = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef.cube",
                  kLutB = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210.3dl";
const std::string kNames[] = {std::string(Exchange::presetName), kLutA,           kLutB,       "." + kLutA,
                              kLutA.substr(0, 64) + ".CUBE",     kLutA + ".cube", "notes.txt", "LUTs"};
const std::string kSecret = "bytes that live outside the presets folder";
const std::int64_t kSparseSizes[] = {Exchange::presetLimit, Exchange::presetLimit + 1, Exchange::lutLimit + 1, std::int64_t{1} << 33};

enum class Kind { file, linkToFile, relativeLinkToFile, linkToFolder, folder, fifo, sparse };
constexpr int kKinds = 7;

struct Entry {
    Kind kind = Kind::file;
    Bytes bytes;            // what reading a file gives (a sparse one only when under both limits)
    std::int64_t size = 0;  // a sparse file's
    bool isRegular() const { return kind == Kind::file || kind == Kind::sparse; }
    std::int64_t length() const { return kind == Kind::sparse ? size : static_cast<std::int64_t>(bytes.size()); }
};

// Flushing proves nothing here and would hold every run to the disk's pace.
class UnflushedFileSystem final : public platform::PosixFileSystem {
protected:
    int flushOnce(int) noexcept override { return 0; }
    int flushDataOnce(int) noexcept override { return 0; }
    int flushVolumeOnce(int) noexcept override { return 0; }
};

void check(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::string> sortedNames(const fs::path& folder) {
    std::vector<std::string> names = platform::listDirectory(folder);
    std::sort(names.begin(), names.end());
    return names;
}

Bytes contentsOf(const fs::path& folder, const std::string& name) {
    const platform::UniqueFd opened = platform::openDirectory(folder);
    return platform::readNonEmptyRegularFileAt(opened, name, std::int64_t{64} << 20).value_or(Bytes{});
}

// Makes the entry; false when the name cannot be made (taken already, or refused by the kernel).
bool make(const fs::path& package, const std::string& name, const Entry& entry, const fs::path& outside) {
    const fs::path path = package / name;
    std::error_code error;
    if (fs::symlink_status(path, error).type() != fs::file_type::not_found) return false;
    switch (entry.kind) {
    case Kind::file:
    case Kind::sparse:
        try {
            platform::writeNewFile(platform::openDirectory(package), name, entry.kind == Kind::file ? entry.bytes : Bytes{});
        } catch (const std::system_error&) {
            return false;
        }
        if (entry.kind == Kind::sparse) fs::resize_file(path, static_cast<std::uintmax_t>(entry.size));
        return true;
    case Kind::linkToFile: fs::create_symlink(outside / kLutA, path, error); break;
    case Kind::relativeLinkToFile: fs::create_symlink(fs::path("..") / outside.filename() / kLutA, path, error); break;
    case Kind::linkToFolder: fs::create_directory_symlink(outside, path, error); break;
    case Kind::folder: fs::create_directory(path, error); break;
    case Kind::fifo: return ::mkfifo(path.c_str(), 0600) == 0;
    }
    return !error;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static UnflushedFileSystem door;
    static const bool installed = (platform::useFileSystemForTesting(&door), true);
    (void)installed;

    const std::uint8_t flags = size > 0 ? data[0] : 0;
    const bool lutsLinked = flags & 1, throughLink = flags & 2, plainFile = flags & 4, presetFirst = !(flags & 8);
    const std::string_view input = size > 0 ? std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1) : std::string_view();
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0;;) {
        const std::size_t end = input.find("\xFF\xFE", start);
        pieces.push_back(input.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos || pieces.size() == 9) break;
        start = end + 2;
    }

    const fs::path run = fuzzing::scratchFolder("preset-exchange-fuzz-") / "run";
    platform::removeTreeIgnoringErrors(run);
    const fs::path outside = run / "outside", presets = run / "Presets", package = run / "In.oakenmerepreset";
    platform::makeFolderTree(outside, 0755);
    platform::writeNewFile(platform::openDirectory(outside), kLutA, platform::asBytes(kSecret));
    platform::makeFolder(presets, 0755);
    if (lutsLinked) fs::create_directory_symlink(outside, presets / "LUTs");
    std::vector<std::string> expectedRun{"Presets", "outside"};

    // The package, and what reading it must give.
    std::optional<Exchange::Contents> expected;
    std::optional<Exchange::ExchangeError::Case> refusal;
    fs::path source;
    if (plainFile) {
        source = run / "Plain.oakenmerepreset";
        platform::writeNewFile(platform::openDirectory(run), source.filename().string(), platform::asBytes(pieces[0]));
        expected = Exchange::Contents{platform::toBytes(pieces[0]), {}};
    } else {
        platform::makeFolder(package, 0755);
        std::map<std::string, Entry> entries;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            std::string name;
            Entry entry;
            if (i == 0 && presetFirst) {
                name = Exchange::presetName;
                entry.bytes = platform::toBytes(pieces[0]);
            } else {
                const std::string_view piece = pieces[i];
                const std::uint8_t kind = piece.size() > 0 ? static_cast<std::uint8_t>(piece[0]) : 0;
                const std::uint8_t pick = piece.size() > 1 ? static_cast<std::uint8_t>(piece[1]) : 0;
                const std::string_view rest = piece.size() > 2 ? piece.substr(2) : std::string_view();
                entry.kind = static_cast<Kind>(kind % kKinds);
                if (pick < std::size(kNames)) {
                    name = kNames[pick];
                } else {
                    name = std::string(rest.substr(0, 200));
                    std::replace_if(
                        name.begin(), name.end(), [](char c) { return c == '/' || c == '\0'; }, '_');
                    if (name.empty() || name == "." || name == "..") continue;
                }
                if (entry.kind == Kind::file) entry.bytes = platform::toBytes(rest);
                if (entry.kind == Kind::sparse) {
                    entry.size = kSparseSizes[rest.empty() ? 0 : rest[0] & 3];
                    if (entry.size <= Exchange::lutLimit) entry.bytes.assign(static_cast<std::size_t>(entry.size), 0);
                }
            }
            if (make(package, name, entry, outside)) entries.emplace(name, std::move(entry));
        }
        const auto preset = entries.find(std::string(Exchange::presetName));
        if (preset == entries.end() || !preset->second.isRegular()) {
            refusal = Exchange::ExchangeError::Case::notAPreset;
        } else if (preset->second.length() > Exchange::presetLimit) {
            refusal = Exchange::ExchangeError::Case::tooLarge;
        } else {
            expected = Exchange::Contents{preset->second.bytes, {}};
            for (const auto& [name, entry] : entries) {
                if (name == Exchange::presetName || name.starts_with('.') || !PresetLibrary::isValidLutName(name) || !entry.isRegular())
                    continue;
                if (entry.length() > Exchange::lutLimit) {
                    refusal = Exchange::ExchangeError::Case::tooLarge;
                    expected.reset();
                    break;
                }
                expected->luts.emplace(name, entry.bytes);
            }
        }
        source = package;
        if (throughLink) {
            source = run / "Link.oakenmerepreset";
            fs::create_directory_symlink(package.filename(), source);
        }
    }
    expectedRun.push_back(plainFile ? "Plain.oakenmerepreset" : "In.oakenmerepreset");
    if (!plainFile && throughLink) expectedRun.push_back("Link.oakenmerepreset");
    std::sort(expectedRun.begin(), expectedRun.end());
    const std::vector<std::string> packageNames = plainFile ? std::vector<std::string>{} : sortedNames(package);

    std::optional<Exchange::Contents> contents;
    try {
        contents = Exchange::read(source);
    } catch (const Exchange::ExchangeError& error) {
        check(refusal == error.kind());
    }
    check(contents == expected);

    // The import, as the program makes it: the preset under a new identifier, and each LUT the
    // folder lacks.
    PresetLibrary library(presets);
    if (contents) {
        bool refused = false;
        try {
            library.write("Imported", contents->preset);
            for (const auto& [name, bytes] : contents->luts)
                if (!library.lutData(name)) library.writeLUT(name, bytes);
        } catch (const std::system_error&) {
            refused = true;
        }
        check(refused == (lutsLinked && !contents->luts.empty()));  // a "LUTs" link is neither read nor written through
        const auto listed = library.list();
        check(listed.size() == 1 && listed[0].id == "Imported" && listed[0].data == contents->preset);
    }

    check(sortedNames(run) == expectedRun);
    check(sortedNames(outside) == std::vector<std::string>{kLutA} && contentsOf(outside, kLutA) == platform::toBytes(kSecret));
    if (!plainFile) check(sortedNames(package) == packageNames);
    std::vector<std::string> expectedPresets;
    if (contents) expectedPresets.push_back("Imported.oakenmerepreset");
    if (lutsLinked || (contents && !contents->luts.empty())) expectedPresets.push_back("LUTs");
    check(sortedNames(presets) == expectedPresets);
    if (contents && !lutsLinked) {
        std::vector<std::string> lutNames;
        for (const auto& [name, bytes] : contents->luts) {
            lutNames.push_back(name);
            check(contentsOf(presets / "LUTs", name) == bytes);
        }
        if (!lutNames.empty()) check(sortedNames(presets / "LUTs") == lutNames);
    }

    // The same bytes as the record of moved identifiers.
    platform::writeNewFile(platform::openDirectory(presets), ".moved.json", platform::asBytes(pieces[0]));
    std::set<std::string> moved = library.movedIDs();
    library.noteMoved({"noted"});
    moved.insert("noted");
    check(library.movedIDs() == moved);
    return 0;
}
