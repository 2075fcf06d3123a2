// `erase-copies LIBRARY --kept-in FOLDER` and `relocate LIBRARY --from OLD --to NEW`: the library
// gives up its own copies of originals proven to be kept elsewhere, and finds originals kept
// elsewhere again once they were moved. `rename LIBRARY` gives a library of the earlier name the
// current extension, and `migrate` carries the earlier identity's settings and support files over.
// Each command that removes or rewrites shows what it would do first and changes nothing without
// --apply (or a "y" on the terminal).
#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/host_contract.h"
#include "LibraryBundle/core/library_bundle_store.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/maintenance/identity_migration.h"
#include "LibraryBundle/maintenance/library_copy_eraser.h"
#include "LibraryBundle/maintenance/library_rename.h"
#include "LibraryBundle/maintenance/masters_layout.h"
#include "LibraryBundle/maintenance/original_relocation.h"
#include "catalogue/catalogue.h"
#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
#include "oakenmere/import_jobs.h"
#include "oakenmere/output.h"
#include "oakenmere/progress_bar.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/folder_walk.h"
#include "platform/json.h"
#include "platform/locale_format.h"
#include "platform/printable.h"
#include "platform/xdg.h"

namespace oakenmere::cli {

namespace {

using namespace LibraryBundle;
using catalogue::Catalogue;
using catalogue::Original;
namespace fs = std::filesystem;

std::string shown(const fs::path& path) { return platform::printable(path.string()); }

bool isWithin(const fs::path& path, const fs::path& folder) {
    const auto [end, _] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return end == folder.end();
}

bool isLibraryPackage(const fs::path& path);

// Whether two paths name one folder, however they are spelled.
bool sameFolder(const fs::path& a, const fs::path& b) {
    try {
        const auto first = platform::lstatPath(a), second = platform::lstatPath(b);
        return first && second && first->device == second->device && first->inode == second->inode;
    } catch (const std::system_error&) {
        return true;  // not entered: nothing proven there
    }
}

// An original whose copy in the package is to go, and where its bytes are kept.
struct Giving {
    Original original;
    fs::path keptAt;
};

// The originals the package holds whose bytes a file below `folder` holds too: each candidate of
// the same name and size is hashed, and the first that matches is taken. The library itself is
// never searched. What cannot be read there is added to `unreadable`: it proves nothing.
std::vector<Giving> keptCopies(const std::vector<Original>& originals, const fs::path& folder, const fs::path& library,
                               std::vector<fs::path>& unreadable, const std::stop_token& stop) {
    std::multimap<std::pair<std::string, std::int64_t>, const Original*> inside;
    for (const Original& original : originals)
        if (!original.location) inside.emplace(std::pair{fs::path(original.relativePath).filename().string(), original.size}, &original);
    std::vector<std::pair<fs::path, std::pair<std::string, std::int64_t>>> candidates;
    platform::walkFolder(platform::openDirectory(folder), folder,
                         {.entry =
                              [&](const fs::path& path, const platform::FileStatus& status) {
                                  platform::throwIfCancelled(stop);
                                  if (status.isRegular() && inside.contains({path.filename().string(), status.size}))
                                      candidates.push_back({path, {path.filename().string(), status.size}});
                              },
                          .enter = [&](const fs::path& path) { return !isLibraryPackage(path) && !sameFolder(path, library); },
                          .unreadable = [&](const fs::path& path, const std::system_error&) { unreadable.push_back(path); }});
    std::map<platform::Uuid, Giving> found;
    VerifiedFileCopy hasher;
    std::int64_t total = 0, done = 0;
    for (const auto& candidate : candidates) total += candidate.second.second;
    ProgressBar bar("Checking", total);
    for (const auto& [path, key] : candidates) {
        bar.update(done);
        done += key.second;
        std::string sha;
        try {
            sha = hasher.hash(path, stop);
        } catch (const platform::CancellationError&) {
            throw;
        } catch (const std::exception&) {
            unreadable.push_back(path);
            continue;
        }
        for (auto [it, end] = inside.equal_range(key); it != end; ++it)
            if (it->second->sha256 == sha && !found.contains(it->second->id)) found.insert({it->second->id, {*it->second, path}});
    }
    bar.finish();
    std::vector<Giving> giving;
    for (auto& [id, entry] : found) giving.push_back(std::move(entry));
    std::sort(giving.begin(), giving.end(),
              [](const Giving& a, const Giving& b) { return a.original.relativePath < b.original.relativePath; });
    return giving;
}

// The file the package holds for the original, if any.
std::optional<platform::FileStatus> packageCopy(const Original& original, const fs::path& library) {
    const auto path = PackagePath::joined(original.relativePath, library);
    if (!path) return std::nullopt;
    try {
        return platform::lstatPath(*path);
    } catch (const std::system_error&) {
        return platform::FileStatus{};  // there, but what it is the eraser will tell
    }
}

bool sameFile(const platform::FileStatus& a, const platform::FileStatus& b) { return a.device == b.device && a.inode == b.inode; }

// Whether `entry.keptAt` holds the original's bytes now, flushed to its disk, as a file other
// than the package's copy (the same package reached by another spelling, a bind mount or a
// case-blind drive would otherwise prove a copy by itself).
bool stillKept(const Giving& entry, const fs::path& library, VerifiedFileCopy& hasher, const std::stop_token& stop) {
    try {
        const auto kept = platform::lstatPath(entry.keptAt);
        if (!kept || !kept->isRegular()) return false;
        if (const auto copy = packageCopy(entry.original, library); copy && sameFile(*copy, *kept)) return false;
        platform::syncDescriptor(platform::openPath(entry.keptAt, O_RDONLY | O_NONBLOCK), "fsync");
        return hasher.hash(entry.keptAt, stop) == entry.original.sha256;
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const std::exception&) {
        return false;
    }
}

// Copies an earlier run recorded as kept elsewhere but had not erased yet: each is proven again
// before it goes.
std::vector<Giving> unfinishedCopies(const std::vector<Original>& originals, const fs::path& library) {
    std::vector<Giving> giving;
    for (const Original& original : originals)
        if (original.location && packageCopy(original, library)) giving.push_back({original, *original.location});
    return giving;
}

struct Erasing {
    std::int64_t erased = 0, freed = 0, gone = 0;
    platform::Json left = platform::Json::array();
};

// Proves where each original of `chunk` is kept, records it, then erases the package's copies of
// those proven. One whose kept copy fails the proof keeps its package copy, which is the
// original again in the catalogue when its bytes are the recorded ones.
void eraseChunk(std::span<const Giving> chunk, const fs::path& library, Catalogue& catalogue, int jobs, bool json, Erasing& totals,
                const std::stop_token& stop) {
    VerifiedFileCopy hasher;
    std::vector<catalogue::Relocation> moves;
    std::map<std::string, std::set<std::string>> files;
    const auto leave = [&](const Giving& entry, const std::string& reason) {
        totals.left.push_back({{"path", entry.original.relativePath}, {"reason", reason}});
        if (!json) printOut("Left " + platform::printable(entry.original.relativePath) + ": " + platform::printable(reason) + "\n");
    };
    for (const Giving& entry : chunk) {
        if (stillKept(entry, library, hasher, stop)) {
            if (!entry.original.location) moves.push_back({entry.original.id, entry.keptAt.string()});
            files[entry.original.relativePath] = {entry.original.sha256};
            continue;
        }
        if (entry.original.location) {
            const auto copy = PackagePath::joined(entry.original.relativePath, library);
            bool proven = false;
            try {
                proven = copy && hasher.hash(*copy, stop) == entry.original.sha256;
            } catch (const platform::CancellationError&) {
                throw;
            } catch (const std::exception&) {}
            if (proven) catalogue.relocate({{entry.original.id, std::nullopt}});
        }
        leave(entry, "its copy at " + platform::printable(entry.keptAt.string()) + " could not be proven again, so it was left as it is.");
    }
    // Where each original is kept is recorded before its copy goes, so a run stopped between the
    // two leaves an extra copy (finished by the next run), never an original the catalogue lost.
    if (!moves.empty()) catalogue.relocate(moves);
    const auto results = LibraryCopyEraser::erase(files, library, jobs, stop);
    for (const Giving& entry : chunk) {
        const auto found = results.find(entry.original.relativePath);
        if (found == results.end()) continue;
        if (const auto* outcome = std::get_if<LibraryCopyEraser::Outcome>(&found->second)) {
            if (*outcome == LibraryCopyEraser::Outcome::erased) ++totals.erased, totals.freed += entry.original.size;
            else ++totals.gone;
            MastersLayout::removeEmptyCaptureFolder(entry.original.relativePath, library);
            continue;
        }
        try {
            std::rethrow_exception(std::get<std::exception_ptr>(found->second));
        } catch (const platform::CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            leave(entry, error.what());
        }
    }
}

bool isLibraryPackage(const fs::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    return extension == ".oakenmere" || extension == ".brightloft";
}

void eraseCopies(const std::string& given, const std::string& keptIn, int jobs, bool apply, bool json, const std::stop_token& stop) {
    requireLibraryPackage(given);
    LibraryBundleStore store;
    store.open(given);
    const fs::path library = platform::standardizedPath(given), folder = platform::standardizedPath(keptIn);
    const auto real = [](const fs::path& path) { return fs::path(platform::realPath(path).value_or(path.string())); };
    if (isWithin(folder, library) || isWithin(real(folder), real(library)))
        throw std::runtime_error("The folder " + shown(folder) + " is inside the library; choose where the originals are kept outside it.");
    Catalogue catalogue(library);
    const std::vector<Original> originals = catalogue.originals();
    std::vector<Giving> giving = unfinishedCopies(originals, library);
    std::vector<fs::path> unreadable;
    for (Giving& entry : keptCopies(originals, folder, library, unreadable, stop)) giving.push_back(std::move(entry));
    // A folder or file of the kept folder that could not be read may hold more: the run is not whole.
    const auto unread = [&]() -> std::string {
        if (unreadable.empty()) return "";
        return std::to_string(unreadable.size()) + " files or folders in " + shown(folder) +
               " could not be read (the first: " + shown(unreadable.front()) + "); the library's copies of what they hold were left.";
    };
    const auto sayUnread = [&] {
        if (!unreadable.empty()) throw std::runtime_error(unread());
    };

    std::int64_t bytes = 0;
    platform::Json planned = platform::Json::array();
    for (const Giving& entry : giving) {
        bytes += entry.original.size;
        if (json) planned.push_back({{"path", entry.original.relativePath}, {"keptAt", entry.keptAt.string()}});
        else printOut(platform::printable(entry.original.relativePath) + "  kept as " + shown(entry.keptAt) + "\n");
    }
    const std::string what = filesAndSize(static_cast<std::int64_t>(giving.size()), bytes);
    if (giving.empty()) {
        if (json) printJson({{"erase", planned}, {"applied", false}});
        else printOut("The library holds no copy of an original kept in " + shown(folder) + ".\n");
        sayUnread();
        return;
    }
    if (!confirmed(apply, json, "Erase the library's copies of these " + what + "?")) {
        if (json) printJson({{"erase", planned}, {"applied", false}});
        else
            printOut("Would erase the library's copies of " + what +
                     "; their originals stay where they are kept. Run again with --apply to erase them.\n");
        sayUnread();
        return;
    }

    // A few at a time, so a kept copy is proven again just before the package's copy goes.
    Erasing totals;
    const std::size_t chunk = static_cast<std::size_t>(std::max(jobs, 1)) * 4;
    try {
        for (std::size_t at = 0; at < giving.size(); at += chunk)
            eraseChunk(std::span(giving).subspan(at, std::min(chunk, giving.size() - at)), library, catalogue, jobs, json, totals, stop);
    } catch (const platform::CancellationError&) {
        writeSummary(library, catalogue);
        throw;
    }
    writeSummary(library, catalogue);
    refreshIcon(library);
    if (json)
        printJson({{"erase", planned},
                   {"applied", true},
                   {"erased", totals.erased},
                   {"freedBytes", totals.freed},
                   {"alreadyGone", totals.gone},
                   {"left", totals.left}});
    else
        printOut("Erased the library's copies of " + filesAndSize(totals.erased, totals.freed) +
                 (totals.gone > 0 ? "; " + std::to_string(totals.gone) + " were gone already" : "") + ".\n");
    if (!totals.left.empty())
        throw std::runtime_error("Some copies were left as they are; see above." + (unreadable.empty() ? "" : " " + unread()));
    sayUnread();
}

void relocate(const std::string& given, const std::string& from, const std::string& to, bool apply, bool json,
              const std::stop_token& stop) {
    requireLibraryPackage(given);
    LibraryBundleStore store;
    store.open(given);
    const fs::path library = platform::standardizedPath(given), oldFolder = platform::standardizedPath(from),
                   newFolder = platform::standardizedPath(to);
    Catalogue catalogue(library);
    std::vector<RelocationOriginal> moved;
    for (const Original& original : catalogue.originals())
        if (original.location && isWithin(*original.location, oldFolder) && fs::path(*original.location) != oldFolder)
            moved.push_back({original.id, *original.location, original.sha256});
    if (moved.empty()) throw std::runtime_error("No original of this library was kept in " + shown(oldFolder) + ".");
    // The old folder's tree is laid over the new one: the first original tells the mapping where
    // it would be now.
    const fs::path first = moved.front().sourceURL;
    const RelocationFolderMapping mapping(first, newFolder / first.lexically_relative(oldFolder), newFolder);
    const RelocationPlan plan = OriginalRelocationPlanner().plan(moved, mapping, stop);

    platform::Json found = platform::Json::array();
    std::map<platform::Uuid, fs::path> before;
    for (const RelocationOriginal& original : moved) before[original.id] = original.sourceURL;
    for (const VerifiedRelocation& match : plan.matches) {
        if (json) found.push_back({{"from", before[match.id].string()}, {"to", match.url.string()}});
        else printOut(shown(before[match.id]) + "  now " + shown(match.url) + "\n");
    }
    const auto report = [&](bool applied) {
        if (json)
            printJson({{"found", found},
                       {"differ", plan.mismatches},
                       {"unreadable", plan.unavailable},
                       {"missing", static_cast<std::int64_t>(moved.size() - plan.matches.size()) - plan.mismatches - plan.unavailable},
                       {"applied", applied}});
        else
            printOut(std::to_string(plan.matches.size()) + " of " + std::to_string(moved.size()) + " originals kept in " +
                     shown(oldFolder) + " were found in " + shown(newFolder) + " (" + std::to_string(plan.mismatches) + " differ, " +
                     std::to_string(plan.unavailable) + " could not be read).\n");
    };
    // Originals that could not be read leave the run unfinished, dry or not: the account says how many.
    if (plan.matches.empty() || !confirmed(apply, json, "Record these new places?")) {
        report(false);
        if (!plan.matches.empty() && !json) printOut("Run again with --apply to record the new places.\n");
        if (plan.unavailable > 0) throw CLI::RuntimeError(1);
        return;
    }
    std::vector<catalogue::Relocation> moves;
    for (const VerifiedRelocation& match : plan.matches) moves.push_back({match.id, match.url.string()});
    catalogue.relocate(moves);
    writeSummary(library, catalogue);
    report(true);
    if (plan.unavailable > 0) throw CLI::RuntimeError(1);
}

void renameLibrary(const std::string& given, bool apply, bool json) {
    const fs::path library = platform::standardizedPath(given);
    const auto target = LibraryRename::target(library);
    if (!target) throw LibraryRenameError::notALegacyLibrary();
    if (!LibraryRename::libraryID(library)) throw LibraryRenameError::notALibrary();
    if (platform::lstatPath(*target)) throw LibraryRenameError::targetExists(target->filename().string());
    if (!confirmed(apply, json, "Rename " + shown(library) + " to " + shown(target->filename()) + "?")) {
        if (json) printJson({{"from", library.string()}, {"to", target->string()}, {"applied", false}});
        else printOut("Would rename " + shown(library) + " to " + shown(target->filename()) + ". Run again with --apply to rename it.\n");
        return;
    }
    const fs::path renamed = LibraryRename::rename(library);
    if (json) printJson({{"from", library.string()}, {"to", renamed.string()}, {"applied", true}});
    else printOut("Renamed " + shown(library) + " to " + shown(renamed.filename()) + "\n");
}

// The user's settings: one JSON file standing in for the platform's user defaults.
fs::path userDefaults() { return platform::configHome() / "Oakenmere" / "defaults.json"; }

void migrate(const std::string& from, bool json) {
    const Host::MigrationContext context{
        .earlierDataFolder = from.empty() ? platform::home() : platform::standardizedPath(from),
        .currentDataFolder = platform::home(),
        .earlierBundleIdentifier = Host::logSubsystem,
        .currentDefaultsDomain = "Oakenmere",
        .userDefaults = userDefaults(),
        .now = [] { return platform::Date::now(); },
    };
    const auto record = IdentityMigration::run(context);
    if (!record) {
        if (json) printJson({{"ran", false}});
        else printOut("Settings and support files were carried over from Brightloft before; nothing to do.\n");
        return;
    }
    using Outcome = IdentityMigration::Record::Outcome;
    if (json) {
        platform::Json out = record->dictionary();
        out["ran"] = true;
        out["outcome"] = std::string(IdentityMigration::Record::rawValue(record->outcome));
        printJson(out);
    } else if (record->outcome == Outcome::nothingToCopy) {
        printOut("Nothing of Brightloft's was found to carry over.\n");
    } else {
        platform::LocaleFormat format;
        printOut("Carried over " + format.integer(record->copiedSettings) + " settings and " + format.integer(record->copiedFiles) +
                 " files from Brightloft (" + format.integer(record->skippedFiles) + " already here).\n");
    }
    if (record->failedFiles > 0)
        throw std::runtime_error(std::to_string(record->failedFiles) + " files could not be carried over" +
                                 (record->outcome == Outcome::incomplete ? "; run migrate again to retry them." : "."));
}

}  // namespace

void addMaintenanceCommands(CLI::App& app, const std::stop_token& stop) {
    auto apply = std::make_shared<bool>(false);
    auto json = std::make_shared<bool>(false);
    auto library = std::make_shared<std::string>();
    const auto common = [&](CLI::App* command) {
        command->add_option("LIBRARY", *library, "The library")->required()->check(nonEmptyPath());
        command->add_flag("--apply", *apply, "Do it (without it, only show what would be done)");
        command->add_flag("--json", *json, "Print as JSON");
    };

    auto* erase =
        app.add_subcommand("erase-copies", "Erase the library's own copies of originals proven to be kept in a folder elsewhere.");
    auto keptIn = std::make_shared<std::string>();
    auto jobs = std::make_shared<int>(2);
    common(erase);
    erase->add_option("--kept-in", *keptIn, "The folder (on any drive) where the originals are kept")->required()->check(nonEmptyPath());
    erase->add_option("--jobs", *jobs, "Copies checked at once")->check(CLI::Range(1, 64));
    erase->callback([=, &stop] { eraseCopies(*library, *keptIn, *jobs, *apply, *json, stop); });

    auto* move = app.add_subcommand("relocate", "Find originals kept outside the library again after their folder moved.");
    auto from = std::make_shared<std::string>(), to = std::make_shared<std::string>();
    common(move);
    move->add_option("--from", *from, "The folder the originals were kept in")->required()->check(nonEmptyPath());
    move->add_option("--to", *to, "The folder they are in now")->required()->check(nonEmptyPath());
    move->callback([=, &stop] { relocate(*library, *from, *to, *apply, *json, stop); });

    auto* rename = app.add_subcommand("rename", "Give a library of the earlier name (.brightloft) the current extension (.oakenmere).");
    common(rename);
    rename->callback([=] { renameLibrary(*library, *apply, *json); });

    auto* carry = app.add_subcommand("migrate", "Carry Brightloft's settings and support files over, once (files already here are kept).");
    auto earlier = std::make_shared<std::string>();
    carry->add_option("--from", *earlier, "The home folder Brightloft used (default: yours)")->check(nonEmptyPath());
    carry->add_flag("--json", *json, "Print as JSON");
    carry->callback([=] { migrate(*earlier, *json); });
}

}  // namespace oakenmere::cli
