// `presets list|export|import|remove|restore`: the presets of a library (--library), of a folder
// (--folder), or of the shared presets folder, and the exchange packages presets travel in. An
// import never replaces a preset: a taken identifier gets a new one, the same bytes are skipped.
#include <optional>
#include <string>
#include <vector>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/presets/preset_exchange.h"
#include "LibraryBundle/presets/preset_library.h"
#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
#include "oakenmere/output.h"
#include "platform/file_io.h"
#include "platform/json.h"
#include "platform/locale_format.h"
#include "platform/printable.h"

namespace oakenmere::cli {

namespace {

using namespace LibraryBundle;
namespace fs = std::filesystem;

struct Where {
    std::string library, folder;
};

std::string quoted(const std::string& text) { return "\u201C" + platform::printable(text) + "\u201D"; }

// The presets folder the options name. A library is locked while its presets change, as the
// application would hold it.
struct Presets {
    std::optional<LibraryBundleStore> store;
    std::optional<PresetLibrary> presets;

    Presets(const Where& where, bool changing) {
        if (!where.library.empty()) {
            requireLibraryPackage(where.library);
            if (changing) store.emplace().open(where.library);
            else LibraryBundleStore::readIdentity(where.library);
            presets.emplace(PresetLibrary::forLibrary(platform::standardizedPath(where.library)));
        } else if (!where.folder.empty()) {
            presets.emplace(platform::standardizedPath(where.folder));
        } else if (auto shared = PresetLibrary::sharedFolder(PresetLibrary::processEnvironment())) {
            presets.emplace(*shared);
        } else {
            throw std::runtime_error("There is no shared presets folder; name one with --folder, or a library with --library.");
        }
    }
    PresetLibrary& operator*() { return *presets; }
    PresetLibrary* operator->() { return &*presets; }
};

void list(const Where& where, bool json) {
    Presets presets(where, false);
    const auto stored = presets->list();
    if (json) {
        platform::Json all = platform::Json::array();
        for (const auto& file : stored) {
            platform::Json entry{{"id", file.id}, {"readable", file.data.has_value()}};
            if (file.data) entry["bytes"] = file.data->size();
            if (file.modified) entry["modified"] = platform::dateJson(*file.modified);
            all.push_back(entry);
        }
        printJson({{"folder", presets->folder().string()}, {"presets", all}});
        return;
    }
    platform::LocaleFormat format;
    if (stored.empty()) printOut("No presets in " + platform::printable(presets->folder().string()) + "\n");
    for (const auto& file : stored)
        printOut(platform::printable(file.id) + "  " +
                 (file.data ? format.fileSize(static_cast<std::int64_t>(file.data->size())) : std::string("(unreadable)")) +
                 (file.modified ? ", " + format.abbreviatedDateShortTime(*file.modified) : std::string()) + "\n");
}

void exportPreset(const Where& where, const std::string& id, const std::string& folder, const std::string& name,
                  const std::vector<std::string>& luts) {
    Presets presets(where, false);
    PresetExchange::Contents contents;
    bool found = false;
    for (auto& file : presets->list())
        if (file.id == id) {
            if (!file.data) throw std::runtime_error("The preset " + quoted(id) + " can\u2019t be read.");
            contents.preset = std::move(*file.data);
            found = true;
        }
    if (!found) throw LibraryBundle::FileError(LibraryBundle::FileError::Case::fileNoSuchFile, id);
    for (const std::string& lut : luts) {
        auto bytes = presets->lutData(lut);
        if (!bytes) throw LibraryBundle::FileError(LibraryBundle::FileError::Case::fileNoSuchFile, lut);
        contents.luts[lut] = std::move(*bytes);
    }
    const fs::path destination = PresetExchange::availableURL(name.empty() ? id : name, platform::standardizedPath(folder));
    PresetExchange::write(contents, destination);
    printOut("Exported " + quoted(id) + " to " + platform::printable(destination.string()) + "\n");
}

// An identifier for a preset arriving as `package`: its name where that is one, made into one
// otherwise; then the first of it, it-2, it-3… that no preset of the folder has.
std::string freeIdentifier(const fs::path& package, const std::vector<PresetLibrary::StoredFile>& stored) {
    std::string base;
    for (const char c : package.stem().string())
        base += PresetLibrary::isValidIdentifier(std::string(1, c)) || static_cast<unsigned char>(c) >= 0x80 ? c : '-';
    if (!PresetLibrary::isValidIdentifier(base)) {
        std::string ascii;
        for (const char c : base)
            if (PresetLibrary::isValidIdentifier(std::string(1, c))) ascii += c;
        base = ascii.substr(0, 56);
    }
    if (base.empty()) base = "Preset";
    const auto taken = [&](const std::string& id) {
        return std::any_of(stored.begin(), stored.end(), [&](const auto& file) { return file.id == id; });
    };
    std::string id = base;
    for (int n = 2; taken(id); ++n) id = base.substr(0, 56) + "-" + std::to_string(n);
    return id;
}

void importPresets(const Where& where, const std::vector<std::string>& packages, bool json) {
    Presets presets(where, true);
    platform::Json report = platform::Json::array();
    for (const std::string& given : packages) {
        const fs::path package = platform::standardizedPath(given);
        const PresetExchange::Contents contents = PresetExchange::read(package);
        const auto stored = presets->list();
        platform::Json entry{{"package", package.string()}};
        const auto same = std::find_if(stored.begin(), stored.end(), [&](const auto& file) { return file.data == contents.preset; });
        std::string line;
        if (same != stored.end()) {
            entry["skipped"] = true;
            entry["id"] = same->id;
            line = "Skipped " + platform::printable(package.filename().string()) + ": the preset " + quoted(same->id) + " holds the same";
        } else {
            const std::string id = freeIdentifier(package, stored);
            presets->write(id, contents.preset);
            entry["skipped"] = false;
            entry["id"] = id;
            line = "Imported " + platform::printable(package.filename().string()) + " as " + quoted(id);
            if (id != package.stem().string()) {
                entry["renamedFrom"] = package.stem().string();
                line += " (" + quoted(package.stem().string()) + " was taken or is no preset name)";
            }
        }
        std::int64_t written = 0, kept = 0;
        for (const auto& [name, bytes] : contents.luts) {
            // A LUT of that name is never replaced: it stays as it is.
            const auto existing = presets->lutData(name);
            if (existing) {
                kept += *existing != bytes;
                continue;
            }
            presets->writeLUT(name, bytes);
            ++written;
        }
        entry["luts"] = written;
        entry["lutsKept"] = kept;
        if (written > 0) line += "; " + std::to_string(written) + (written == 1 ? " LUT" : " LUTs");
        if (kept > 0) line += "; " + std::to_string(kept) + (kept == 1 ? " LUT" : " LUTs") + " of the same name kept as they were";
        report.push_back(entry);
        if (!json) printOut(line + "\n");
    }
    if (json) printJson(report);
}

void removeOrRestore(const Where& where, const std::vector<std::string>& ids, bool removing) {
    Presets presets(where, true);
    for (const std::string& id : ids) {
        if (removing) presets->remove(id);
        else presets->restore(id);
        printOut((removing ? "Removed " : "Restored ") + quoted(id) + "\n");
    }
}

}  // namespace

void addPresetCommands(CLI::App& app) {
    auto* presets = app.add_subcommand("presets", "List, export, import, remove and restore presets.");
    presets->require_subcommand(1);
    auto where = std::make_shared<Where>();
    auto json = std::make_shared<bool>(false);
    auto names = std::make_shared<std::vector<std::string>>();
    auto id = std::make_shared<std::string>(), folder = std::make_shared<std::string>(), name = std::make_shared<std::string>();
    const auto placed = [&](CLI::App* command) {
        command->add_option("--library", where->library, "The library whose presets these are")->check(nonEmptyPath());
        command->add_option("--folder", where->folder, "A presets folder (default: the shared one)")->check(nonEmptyPath());
        command->add_flag("--json", *json, "Print as JSON");
    };

    auto* listing = presets->add_subcommand("list", "List the presets.");
    placed(listing);
    listing->callback([=] { list(*where, *json); });

    auto* exporting =
        presets->add_subcommand("export", "Write a preset, with the LUTs named by --lut, as an exchange package into a folder.");
    exporting->add_option("ID", *id, "The preset")->required();
    exporting->add_option("FOLDER", *folder, "Where the package goes")->required()->check(nonEmptyPath());
    exporting->add_option("--name", *name, "The package's name (default: the preset's)");
    exporting->add_option("--lut", *names, "A LUT file of the presets folder to carry along");
    placed(exporting);
    exporting->callback([=] { exportPreset(*where, *id, *folder, *name, *names); });

    auto* importing = presets->add_subcommand("import", "Import exchange packages; nothing is ever replaced.");
    importing->add_option("PACKAGE", *names, "Exchange packages (…." + std::string(PresetExchange::fileExtension) + ")")
        ->required()
        ->check(nonEmptyPath());
    placed(importing);
    importing->callback([=] { importPresets(*where, *names, *json); });

    for (const bool removing : {true, false}) {
        auto* command = presets->add_subcommand(removing ? "remove" : "restore",
                                                removing ? "Move presets to the removed ones." : "Bring removed presets back.");
        command->add_option("ID", *names, "The presets")->required();
        placed(command);
        command->callback([=] { removeOrRestore(*where, *names, removing); });
    }
}

}  // namespace oakenmere::cli
