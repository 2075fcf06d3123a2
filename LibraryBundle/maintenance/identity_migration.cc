#include "LibraryBundle/maintenance/identity_migration.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>

#include "LibraryBundle/copying/source_identity.h"
#include "LibraryBundle/copying/verified_file_copy.h"
#include "LibraryBundle/core/bounded_file_reader.h"
#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/package_path.h"
#include "platform/atomic_write.h"
#include "platform/decoding_error.h"
#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/folder_walk.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"
#include "platform/safe_open.h"
#include "platform/text.h"
#include "platform/xdg.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;
using platform::Json;

namespace {

std::string key(std::string_view name) { return std::string(name); }

// A change made by someone else while the settings are edited is merged by editing again; this
// many changes in a row mean the file does not settle, and the update gives up.
constexpr int kSettingsTries = 5;

// Where a settings file or folder really is: users' settings are often links a dotfile manager
// made, and they are read and written through to what they name.
fs::path followed(const fs::path& path) { return platform::realPath(path).value_or(path.string()); }

// nullopt when there is no entry; Failure for one that cannot be examined or is not a file.
std::optional<SourceIdentity> identityOf(const fs::path& file) {
    try {
        return SourceIdentity::capture(followed(file));
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ENOENT)) return std::nullopt;
        throw IdentityMigration::Failure::unreadable(file);
    } catch (const VerifiedCopyError&) {
        throw IdentityMigration::Failure::unreadable(file);
    }
}

struct Settings {
    std::optional<SourceIdentity> identity;  // of the file they were read from, before reading
    Json values = Json::object();
};

Settings readSettings(const fs::path& file) {
    Settings settings{identityOf(file)};
    if (!settings.identity) return settings;
    try {
        const platform::Bytes bytes = BoundedFileReader::read(followed(file), IdentityMigration::settingsByteLimit);
        if (!bytes.empty()) settings.values = platform::parseJson(bytes);
    } catch (...) {
        // Unreadable or not JSON: replacing it would throw away whatever the user has there.
        throw IdentityMigration::Failure::unreadable(file);
    }
    if (!settings.values.is_object()) throw IdentityMigration::Failure::unreadable(file);
    return settings;
}

// Calls `entry` with the relative path and status of everything below `folder`; nothing when
// there is no folder.
void walk(const fs::path& folder, const std::function<void(const std::string&, const platform::FileStatus&)>& entry) {
    if (!platform::lstatPath(folder)) return;
    const platform::UniqueFd open = platform::openDirectory(folder);
    platform::FolderWalk walker;
    walker.entry = [&](const fs::path& path, const platform::FileStatus& status) {
        entry(path.lexically_relative(folder).generic_string(), status);
    };
    platform::walkFolder(open, folder, walker);
}

// Removes the ".incomplete-" copies a failed copy may have set aside beside `relative`: every one
// not there before the run began is this run's own.
void removeIncompleteBeside(const fs::path& root, const std::string& relative, const std::set<std::string>& existing) noexcept {
    try {
        const fs::path folderPath = (root / relative).parent_path();
        const std::string prefix = relative.find('/') == std::string::npos ? "" : fs::path(relative).parent_path().generic_string() + "/";
        const platform::UniqueFd folder = PackagePath::openFolder(folderPath);
        for (const std::string& name : platform::listDirectory(folder, folderPath))
            if (name.starts_with(VerifiedFileCopy::incompletePrefix) && !existing.contains(prefix + name))
                platform::unlinkAtIgnoringErrors(folder, name);
    } catch (...) {
        // Tidying after a failure; the failure itself is what gets counted.
    }
}

// The temporary copies a run killed midway left in the new folder: only this migration copies
// into it, and never after it has finished.
void removeLeftoverCopies(const fs::path& current, const std::set<std::string>& existing, const std::set<std::string>& earlier) noexcept {
    try {
        const fs::path root = platform::realPath(current).value_or(current.string());
        for (const std::string& relative : existing) {
            const fs::path path = root / relative;
            if (!path.filename().string().starts_with(VerifiedFileCopy::temporaryPrefix) || earlier.contains(relative)) continue;
            platform::unlinkAtIgnoringErrors(PackagePath::openFolder(path.parent_path()), path.filename().string());
        }
    } catch (...) {
        // A leftover that stays takes only room; it is never taken for a copied file.
    }
}

// Copies `relative` from the earlier folder to the new one, both with links resolved, when the
// earlier file is still the one listed. Whether it was copied; a failure leaves no copy of it.
bool copyFile(VerifiedFileCopy& copier, const fs::path& from, const fs::path& to, const std::string& relative, const SourceIdentity& listed,
              const std::set<std::string>& existing) noexcept {
    try {
        if (!platform::isPlainRelativePath(relative)) return false;
        platform::UniqueFd folder = PackagePath::openFolder(to);
        const auto pieces = PackagePath::pieces(relative);
        for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
            const std::string piece(pieces[i]);
            if (platform::fileSystem().makeFolderAt(folder.get(), piece.c_str(), 0700) != 0 && errno != EEXIST)
                platform::throwLastPosixError("mkdir " + platform::inQuotes(piece));
            folder = platform::openAt(folder, piece, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        }
        copier.copyMeasuring(from / relative, to / relative, listed);
        return true;
    } catch (const VerifiedCopyError& error) {
        // The earlier file changed while it was copied; it is still there to be copied next time.
        if (error.kind() == VerifiedCopyError::Case::keptCopy) platform::unlinkIgnoringErrors(error.path());
        removeIncompleteBeside(to, relative, existing);
    } catch (...) {
        // Counted as failed; what the copy left beside it goes.
        removeIncompleteBeside(to, relative, existing);
    }
    return false;
}

// The support files of one folder: counts go into `record`.
void copyFolder(const fs::path& earlier, const fs::path& current, IdentityMigration::Record& record) {
    fs::path from;
    std::vector<IdentityMigration::SourceFile> files;
    std::map<std::string, SourceIdentity> identities;
    try {
        from = platform::realPath(earlier).value_or(earlier.string());
        walk(from, [&](const std::string& relative, const platform::FileStatus& status) {
            files.push_back({relative, status.isRegular()});
            if (status.isRegular()) identities.emplace(relative, SourceIdentity::of(status));
        });
    } catch (...) {
        throw IdentityMigration::Failure::unreadable(earlier);
    }
    std::set<std::string> existing;
    try {
        for (const auto& file : IdentityMigration::list(followed(current))) existing.insert(file.relativePath);
    } catch (...) {
        // A new folder that cannot be listed counts as empty; copies never replace anything anyway.
    }
    std::set<std::string> listed;
    for (const auto& file : files) listed.insert(file.relativePath);
    removeLeftoverCopies(current, existing, listed);
    const auto toCopy = IdentityMigration::filesToCopy(files, existing);
    record.skippedFiles += static_cast<std::int64_t>(identities.size() - toCopy.size());
    if (toCopy.empty()) return;

    std::optional<fs::path> to;
    try {
        platform::makeFolders(current);
        to = platform::realPath(current);
    } catch (...) {
        // Without the new folder every file fails, and is counted so.
    }
    VerifiedFileCopy copier;
    for (const std::string& relative : toCopy) {
        if (to && copyFile(copier, from, *to, relative, identities.at(relative), existing)) ++record.copiedFiles;
        else ++record.failedFiles;
    }
}

}  // namespace

std::string_view IdentityMigration::Record::rawValue(Outcome outcome) {
    switch (outcome) {
    case Outcome::copied: return "copied";
    case Outcome::nothingToCopy: return "nothingToCopy";
    case Outcome::incomplete: return "incomplete";
    }
    return "";
}

Json IdentityMigration::Record::dictionary() const {
    return Json{{"outcome", rawValue(outcome)},     {"copiedFiles", copiedFiles}, {"skippedFiles", skippedFiles},
                {"copiedSettings", copiedSettings}, {"failedFiles", failedFiles}, {"milliseconds", milliseconds},
                {"date", platform::dateJson(date)}};
}

IdentityMigration::Failure::Failure(fs::path path)
    : path_(std::move(path)), message_(platform::inQuotes(platform::escapingInvalidUtf8(path_.string())) +
                                       " can\u2019t be read, so settings from Brightloft are carried over next time.") {}

std::optional<IdentityMigration::Record> IdentityMigration::run(const Host::MigrationContext& context) {
    const fs::path& defaults = context.userDefaults;
    if (readDefaults(defaults).contains(key(recordKey))) return std::nullopt;
    const auto started = std::chrono::steady_clock::now();
    Record record;
    record.date = context.now ? context.now() : platform::Date::now();
    bool foundEarlier = false;

    const fs::path earlierSettings = context.earlierDataFolder / legacyDefaultsPath(context.earlierBundleIdentifier);
    if (identityOf(earlierSettings)) {
        foundEarlier = true;
        Json old;
        try {
            old = platform::parseJson(BoundedFileReader::read(followed(earlierSettings), settingsByteLimit));
        } catch (const platform::DecodingError&) {
            // Settings that do not parse are no settings to carry over.
        } catch (...) {
            throw Failure::unreadable(earlierSettings);
        }
        if (!old.is_object()) old = Json::object();
        if (!settingsToCopy(old, readDefaults(defaults)).empty()) {
            updateDefaults(defaults, [&](Json& settings) {
                const Json copied = settingsToCopy(old, settings);
                record.copiedSettings = static_cast<std::int64_t>(copied.size());
                settings.update(copied);
                if (!copied.empty()) settings[key(settingsCopiedKey)] = true;
            });
        }
    }

    for (std::string_view folder : copiedFolders) {
        const fs::path earlier = context.earlierDataFolder / folder;
        std::optional<platform::FileStatus> status;
        try {
            status = platform::lstatPath(followed(earlier));
        } catch (...) {
            throw Failure::unreadable(earlier);
        }
        if (!status || !status->isDirectory()) continue;
        foundEarlier = true;
        copyFolder(earlier, context.currentDataFolder / folder, record);
    }

    record.outcome = foundEarlier ? Record::Outcome::copied : Record::Outcome::nothingToCopy;
    record.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    const Record finished = record;
    updateDefaults(defaults, [&](Json& settings) {
        const std::string attempts = key(attemptsKey);
        const auto stored = settings.find(attempts);
        const std::int64_t failedRuns =
            finished.failedFiles == 0 ? 0 : (stored != settings.end() && stored->is_number_integer() ? stored->get<std::int64_t>() : 0) + 1;
        record.outcome = finished.outcome;
        if (failedRuns > 0 && failedRuns < maximumAttempts) {
            // Tried again next time: no record yet.
            settings[attempts] = failedRuns;
            record.outcome = Record::Outcome::incomplete;
            return;
        }
        settings[key(recordKey)] = finished.dictionary();
        settings.erase(attempts);
    });
    return record;
}

bool IdentityMigration::needsRecentLibrariesMarked(const fs::path& defaults) {
    const Json settings = readDefaults(defaults);
    const auto isTrue = [&](std::string_view name) {
        const auto found = settings.find(key(name));
        return found != settings.end() && *found == true;
    };
    return isTrue(settingsCopiedKey) && !isTrue(recentLibrariesMarkedKey);
}

void IdentityMigration::noteRecentLibrariesMarked(const fs::path& defaults) {
    updateDefaults(defaults, [](Json& settings) { settings[key(recentLibrariesMarkedKey)] = true; });
}

std::string IdentityMigration::legacyDefaultsPath(std::string_view legacyBundleID) {
    return ".config/" + std::string(legacyBundleID) + ".json";
}

std::vector<std::string> IdentityMigration::filesToCopy(const std::vector<SourceFile>& from, const std::set<std::string>& existing) {
    std::vector<std::string> out;
    for (const SourceFile& file : from) {
        const std::string& path = file.relativePath;
        if (!file.isRegularFile || existing.contains(path) || path.empty() || path.front() == '/') continue;
        const auto pieces = PackagePath::pieces(path);
        if (std::find(pieces.begin(), pieces.end(), "..") != pieces.end()) continue;
        out.push_back(path);
    }
    std::sort(out.begin(), out.end());
    return out;
}

Json IdentityMigration::settingsToCopy(const Json& old, const Json& current) {
    Json out = Json::object();
    if (!old.is_object()) return out;
    for (const auto& [name, value] : old.items())
        if (name != recordKey && !(current.is_object() && current.contains(name))) out[name] = value;
    return out;
}

std::vector<IdentityMigration::SourceFile> IdentityMigration::list(const fs::path& folder) {
    std::vector<SourceFile> out;
    walk(folder, [&](const std::string& relative, const platform::FileStatus& status) { out.push_back({relative, status.isRegular()}); });
    return out;
}

Json IdentityMigration::readDefaults(const fs::path& file) { return readSettings(file).values; }

void IdentityMigration::updateDefaults(const fs::path& given, const std::function<void(Json&)>& edit) {
    const fs::path file = followed(given);
    const fs::path folderPath = file.parent_path();
    const std::string name = file.filename().string();
    platform::makeFolders(folderPath);
    const platform::UniqueFd folder = platform::openDirectory(platform::realPath(folderPath).value_or(folderPath.string()));
    for (int tries = 1;; ++tries) {
        Settings settings = readSettings(file);
        edit(settings.values);
        // Someone else wrote the file meanwhile: their change stays, and the edit is made again on it.
        if (identityOf(file) != settings.identity) {
            if (tries == kSettingsTries) platform::throwPosixError(EAGAIN, "update " + platform::inQuotes(file.string()));
            continue;
        }
        platform::writeFileAtomically(folder, name, platform::asBytes(platform::encodeCompactJson(settings.values)), "." + name + "-", "");
        return;
    }
}

}  // namespace oakenmere::LibraryBundle
