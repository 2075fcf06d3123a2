#pragma once
// Carries a user's settings and support files from the application's earlier identity
// (Brightloft) into the current one, once per user account, and records what it did in the
// user's settings.
//
// The user's settings are one JSON object in one file (the host's MigrationContext::userDefaults,
// under $XDG_CONFIG_HOME), replaced whole: written under a temporary name, flushed, renamed into
// place and the folder flushed. A change someone else makes to that file while the migration reads
// and edits it is not lost: the edit is made again on what is there then.
//
// The earlier identity's folders lie below `earlierDataFolder` and the current one's below
// `currentDataFolder`, at the same relative places: its settings at legacyDefaultsPath() (a JSON
// object) and its support files at copiedFolders. Each support file is copied with
// VerifiedFileCopy: checked to be the very file listed, hashed while copied, flushed, read back,
// and published under its name without ever replacing what is there. So a file that changed since
// it was listed, or a name someone else took meanwhile, makes that file fail rather than lose or
// overwrite anything, and a file that fails leaves no copy of its own behind, complete or partial.
// The earlier files are never changed.
//
// A run in which files failed is tried again on the next start, up to maximumAttempts runs; the
// record is written once a run finishes without failures, or at the last attempt. A run killed
// midway has written no record, so the next one does the rest: what was copied is then skipped,
// and the temporary copy the kill left behind is removed.
//
// Synchronous, on the caller's thread.
#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "LibraryBundle/core/host_contract.h"
#include "platform/date.h"
#include "platform/json.h"

namespace oakenmere::LibraryBundle {

class IdentityMigration {
public:
    static constexpr std::string_view recordKey = "identityMigration.fromBrightloft";
    static constexpr std::string_view settingsCopiedKey = "identityMigration.settingsCopied";
    static constexpr std::string_view recentLibrariesMarkedKey = "identityMigration.recentLibrariesMarked";
    static constexpr std::string_view attemptsKey = "identityMigration.attempts";
    static constexpr std::int64_t maximumAttempts = 5;
    // Relative to the data folders: the earlier identity's support files.
    static constexpr std::array<std::string_view, 1> copiedFolders{".local/share/Brightloft"};
    // Settings files are small; anything larger is not one.
    static constexpr std::int64_t settingsByteLimit = 16 << 20;

    struct SourceFile {
        std::string relativePath;  // "/"-separated, relative to the folder listed
        bool isRegularFile = false;
        bool operator==(const SourceFile&) const = default;
    };

    struct Record {
        enum class Outcome { copied, nothingToCopy, incomplete };
        static std::string_view rawValue(Outcome outcome);  // "copied", "nothingToCopy", "incomplete"

        Outcome outcome = Outcome::nothingToCopy;
        std::int64_t copiedFiles = 0;
        // Regular files not copied because they exist in the new folder or have an unusable path.
        std::int64_t skippedFiles = 0;
        std::int64_t copiedSettings = 0;
        std::int64_t failedFiles = 0;
        std::int64_t milliseconds = 0;  // the run's duration, by a monotonic clock
        platform::Date date;            // when the run started, by the caller's clock

        // As stored under recordKey: "outcome" (the raw value), the five counts and "date".
        platform::Json dictionary() const;
        bool operator==(const Record&) const = default;
    };

    // An earlier settings file or support folder, or the current settings file, that exists but
    // cannot be read (or, for the settings, is not a JSON object).
    class Failure : public std::exception {
    public:
        enum class Case { unreadable };
        static Failure unreadable(std::filesystem::path path) { return Failure(std::move(path)); }
        Case kind() const noexcept { return Case::unreadable; }
        const std::filesystem::path& path() const noexcept { return path_; }
        const char* what() const noexcept override { return message_.c_str(); }

    private:
        explicit Failure(std::filesystem::path path);
        std::filesystem::path path_;
        std::string message_;
    };

    // The migration. Nothing when a record exists (it ran to completion before). Fails with
    // Failure before anything is recorded, or with the POSIX error of writing the settings.
    static std::optional<Record> run(const Host::MigrationContext& context);

    // The one-time follow-up for the host's list of recent libraries: needed once settings were
    // copied and until it is noted.
    static bool needsRecentLibrariesMarked(const std::filesystem::path& defaults);
    static void noteRecentLibrariesMarked(const std::filesystem::path& defaults);

    // ".config/" + the identifier + ".json": the earlier identity's settings below its data folder.
    static std::string legacyDefaultsPath(std::string_view legacyBundleID);
    // The regular files to copy, sorted: those not in `existing` whose path is relative and has no
    // ".." piece.
    static std::vector<std::string> filesToCopy(const std::vector<SourceFile>& from, const std::set<std::string>& existing);
    // The earlier settings whose key the current ones lack, recordKey excepted.
    static platform::Json settingsToCopy(const platform::Json& old, const platform::Json& current);
    // Everything below `folder`, never following a link (a link is listed as what it is); an empty
    // list when the folder does not exist. The order is not meaningful.
    static std::vector<SourceFile> list(const std::filesystem::path& folder);

    // The settings in `file`: an empty object when there is none, Failure when it cannot be read or
    // is not a JSON object.
    static platform::Json readDefaults(const std::filesystem::path& file);
    // Applies `edit` to the settings and replaces the file whole. When the file changed after it
    // was read, `edit` runs again on what is there now, so `edit` must only depend on its argument.
    static void updateDefaults(const std::filesystem::path& file, const std::function<void(platform::Json&)>& edit);
};

}  // namespace oakenmere::LibraryBundle
