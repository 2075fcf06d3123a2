// Backups of a library package and their restoration: what a backup takes and leaves out, the
// manifest it writes and the manifests it refuses, destinations it must not write into, and a
// backup or library that changed under it.
#include "LibraryBundle/maintenance/library_recovery.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>

#include "platform/sha256.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Entry = LibraryBackupManifest::Entry;
using Names = std::vector<std::string>;

const std::string kJob = "Jobs/0F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F";
const std::string kInvalid = "This backup is incomplete or uses an unsupported format.";
const std::string kNested = "Choose a destination outside the source library or backup.";

std::string shaOf(const fs::path& file) { return platform::Sha256::hexOf(platform::asBytes(contentsOf(file))); }

// A package with the folders every library has and `files`, each holding its own path.
fs::path makePackage(const TempDir& dir, const Names& files) {
    const fs::path library = dir.makeLibrary();
    for (const char* folder : {"Database", "Masters", "Edits", "Jobs", "Staging"}) fs::create_directory(library / folder);
    for (const std::string& file : files) dir.writeFile(library / file, file);
    return library;
}

// Everything in a folder but folders, relative to it, sorted.
Names filesUnder(const fs::path& folder) {
    Names files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (!fs::is_directory(entry.symlink_status())) files.push_back(fs::relative(entry.path(), folder).string());
    std::sort(files.begin(), files.end());
    return files;
}

void append(const fs::path& file) { std::ofstream(file, std::ios::app) << "more"; }
void folderInPlace(const fs::path& entry) {
    fs::remove(entry);
    fs::create_directory(entry);
}
// The entry moved aside, and a link to it in its place.
void linkInPlace(const fs::path& entry) {
    fs::rename(entry, entry.string() + "~");
    fs::create_symlink(entry.string() + "~", entry);
}

TEST(LibraryRecovery, BacksUpAndRestoresThePackageFileForFile) {
    TempDir dir;
    // clang-format off
    const Names kept{"Database/catalogue.sqlite", "Database/catalogue.sqlite-wal", "Edits/IMG_1.json",
                     "Imports/lightroom-0F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F.json", "Imports/protected-captures.txt",
                     kJob + "/job.json", "Masks/IMG_1.png", "Masters/2024/.IMG_2.jpg", "Masters/2024/IMG_1.jpg"};
    // clang-format on
    const fs::path library = makePackage(dir, kept), backup = dir / "Backup", restored = dir / "Restored.oakenmere";
    for (const char* file : {"Database/catalogue.sqlite-shm", "Database/search.sqlite", "Database/search.sqlite-wal",
                             "Database/picture-text.sqlite", "Imports/notes.txt", "Previews/IMG_1.jpg", "Logs/oakenmere.log"})
        dir.writeFile(library / file, file);
    // A folder copy's working link is skipped, not followed.
    dir.makeSymlink(dir.writeFile("elsewhere/x.jpg", "outside"), library / kJob / "Working/x.jpg");

    LibraryRecovery recovery;
    const LibraryBackupManifest manifest = recovery.backupClosedCatalog(library, backup);
    Names listed = kept;
    listed.push_back("Info.plist");
    std::sort(listed.begin(), listed.end());
    std::vector<Entry> expected;
    for (const std::string& file : listed) expected.push_back({file, shaOf(library / file)});
    EXPECT_EQ(manifest.files, expected);
    EXPECT_EQ(manifest.formatVersion, 1);
    EXPECT_FALSE(manifest.includesReferencedOriginals);
    Names inBackup = listed;
    inBackup.push_back("backup.json");
    EXPECT_EQ(filesUnder(backup), inBackup);
    EXPECT_EQ(fs::status(backup).permissions(), fs::perms::owner_all);

    // Pretty-printed, keys sorted, slashes escaped.
    const std::string json = contentsOf(backup / "backup.json");
    EXPECT_TRUE(json.starts_with("{\n  \"createdAt\": ")) << json;
    EXPECT_LT(json.find("\"files\""), json.find("\"formatVersion\""));
    EXPECT_LT(json.find("\"formatVersion\""), json.find("\"includesReferencedOriginals\""));
    EXPECT_NE(json.find("\"relativePath\": \"Masters\\/2024\\/IMG_1.jpg\""), std::string::npos) << json;
    EXPECT_EQ(recovery.validate(backup), manifest);

    // Until every other file is in place, the folder must not look like a library.
    bool identityEarly = false;
    recovery.progress = [&](std::int64_t, std::int64_t) {
        if (fs::exists(restored / "Info.plist"))
            for (const std::string& file : listed) identityEarly |= !fs::exists(restored / file);
    };
    recovery.restore(backup, restored);
    EXPECT_FALSE(identityEarly);
    EXPECT_EQ(filesUnder(restored), listed);
    for (const std::string& file : listed) EXPECT_EQ(contentsOf(restored / file), contentsOf(library / file)) << file;
    EXPECT_EQ(namesIn(restored), (Names{"Database", "Edits", "Footprints", "Imports", "Info.plist", "Jobs", "LUTs", "Logs", "Masks",
                                        "Masters", "Previews", "Staging", "Suggestions"}));
    EXPECT_TRUE(fs::is_empty(restored / "Previews") && fs::is_empty(restored / "Logs"));
    EXPECT_EQ(fs::status(restored).permissions(), fs::perms::owner_all);
}

// Only a folder copy's working link may sit in a package; any other stops the backup before it
// makes its destination. A library without the optional folders is backed up.
TEST(LibraryRecovery, StopsAtASymbolicLinkOtherThanAJobsWorkingLink) {
    const struct {
        std::string link;
        bool stops;
    } cases[] = {
        {kJob + "/Working/x.jpg", false}, {kJob + "/Working/sub/x.jpg", false},
        {kJob + "/Working", true},        {"Jobs/not-a-uuid/Working/x.jpg", true},
        {kJob + "/Other/x.jpg", true},    {"Masters/IMG_2.jpg", true},
        {"Imports/notes.txt", true},      {"Masks", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        TempDir dir;
        const fs::path library = makePackage(dir, {"Masters/IMG_1.jpg"});
        dir.makeSymlink(dir.writeFile("elsewhere/x.jpg", "outside").parent_path(), library / c.link);
        LibraryRecovery recovery;
        EXPECT_EQ(failureOf([&] { recovery.backupClosedCatalog(library, dir / "Backup"); }),
                  c.stops ? "unsafePath " + (library / c.link).string() : "");
        if (c.stops) EXPECT_FALSE(fs::exists(dir / "Backup"));
        else EXPECT_EQ(filesUnder(dir / "Backup"), (Names{"Info.plist", "Masters/IMG_1.jpg", "backup.json"}));
    }
}

TEST(LibraryRecovery, WritesOnlyIntoANewFolderOutsideItsSource) {
    TempDir dir;
    const fs::path library = makePackage(dir, {"Masters/IMG_1.jpg"});
    LibraryRecovery recovery;
    recovery.backupClosedCatalog(library, dir / "Backup");
    dir.makeSymlink(library, "Alias.oakenmere");
    dir.makeSymlink(dir.makeFolder("Out"), "LinkedOut");
    dir.writeFile("Existing/keep.txt", "mine");
    const struct {
        bool backingUp;
        std::string destination, failure;
    } cases[] = {
        {true, "Holiday.oakenmere", kNested},
        {true, "Holiday.oakenmere/Masters/Backup", kNested},
        {true, "Alias.oakenmere", kNested},
        {true, "Alias.oakenmere/Backup", kNested},
        {true, "Existing", "destinationExists"},
        {true, "Missing/Backup", "errno ENOENT"},
        {true, "LinkedOut/Backup", "unsafePath " + (dir / "LinkedOut").string()},
        {false, "Backup", kNested},
        {false, "Backup/Masters/Restored.oakenmere", kNested},
        {false, "Existing", "destinationExists"},
        // A name that merely begins with the source's is beside it, not inside.
        {true, "Holiday.oakenmere-Backup", ""},
        {false, "Backup-Restored.oakenmere", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.destination);
        const fs::path destination = dir / c.destination;
        const bool existed = fs::exists(fs::symlink_status(destination));
        EXPECT_EQ(failureOf([&] {
                      if (c.backingUp) recovery.backupClosedCatalog(library, destination);
                      else recovery.restore(dir / "Backup", destination);
                  }),
                  c.failure);
        EXPECT_TRUE(c.failure.empty() || existed || !fs::exists(destination));
    }
    EXPECT_EQ(namesIn(dir / "Existing"), Names{"keep.txt"});
    EXPECT_EQ(filesUnder(library), (Names{"Info.plist", "Masters/IMG_1.jpg"}));
    EXPECT_EQ(filesUnder(dir / "Backup"), (Names{"Info.plist", "Masters/IMG_1.jpg", "backup.json"}));
}

// Manifests written by another program: Python's json writes "/" unescaped and is read the same.
// Every refused one is refused by restore too, before it makes its destination.
TEST(LibraryRecovery, RefusesAManifestItCannotTrust) {
    TempDir dir;
    LibraryRecovery recovery;
    const LibraryBackupManifest manifest = recovery.backupClosedCatalog(makePackage(dir, {"Masters/IMG_1.jpg"}), dir / "Backup");
    const std::string original = dir.readFile("Backup/backup.json");
    const struct {
        const char* what;
        std::string change, failure;
    } cases[] = {
        {"as Python writes it", "", ""},
        {"exactly 64 MiB", "size = 67108864", ""},
        {"one byte more", "size = 67108865", kInvalid},
        {"not JSON", "text = '{\"formatVersion\": 1,'", kInvalid},
        {"a key missing", "del m['includesReferencedOriginals']", kInvalid},
        {"format version 2", "m['formatVersion'] = 2", kInvalid},
        {"no identity record", "m['files'] = [f for f in m['files'] if f['relativePath'] != 'Info.plist']", kInvalid},
        {"a path twice", "m['files'].append(m['files'][0])", kInvalid},
        {"a note under Imports", "m['files'].append({'relativePath': 'Imports/notes.txt', 'sha256': m['files'][0]['sha256']})", kInvalid},
        // Cut at the NUL, the path would name a listed file with that very checksum.
        {"a NUL in a path", "m['files'].append({'relativePath': 'Masters/IMG_1.jpg\\x00.txt', 'sha256': m['files'][1]['sha256']})",
         kInvalid},
        {"out of the backup", "m['files'].append({'relativePath': '../x', 'sha256': '0' * 64})", "unsafePath ../x"},
        {"an absolute path", "m['files'].append({'relativePath': '/etc/passwd', 'sha256': '0' * 64})", "unsafePath /etc/passwd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dir.writeFile("Backup/backup.json", original);
        python(R"(import json, sys
path, size, text = sys.argv[1], 0, None
with open(path) as f: m = json.load(f)
exec(sys.argv[2])
text = json.dumps(m, indent=1) if text is None else text
with open(path, 'w') as f: f.write(text + ' ' * (size - len(text))))",
               {(dir / "Backup/backup.json").string(), c.change});
        LibraryBackupManifest read;
        EXPECT_EQ(failureOf([&] { read = recovery.validate(dir / "Backup"); }), c.failure);
        if (c.failure.empty()) {
            EXPECT_EQ(read, manifest);
            continue;
        }
        EXPECT_EQ(failureOf([&] { recovery.restore(dir / "Backup", dir / "Restored"); }), c.failure);
        EXPECT_FALSE(fs::exists(dir / "Restored"));
    }
}

// Damage found while validating stops a restore before it makes its destination. A link in the
// backup is refused even when it leads to exactly the bytes listed.
TEST(LibraryRecovery, ADamagedBackupRestoresNothing) {
    const struct {
        const char* what;
        std::function<void(const fs::path&)> damage;
        std::string failure;
    } cases[] = {
        {"one byte changed", [](const fs::path& b) { std::ofstream(b / "Masters/IMG_1.jpg") << "Masters/IMX_1.jpg"; }, "hashMismatch"},
        {"a file missing", [](const fs::path& b) { fs::remove(b / "Masters/IMG_1.jpg"); }, "errno ENOENT"},
        {"unfinished", [](const fs::path& b) { fs::remove(b / "backup.json"); }, "errno ENOENT"},
        {"manifest a folder", [](const fs::path& b) { folderInPlace(b / "backup.json"); }, kInvalid},
        {"a file made a folder", [](const fs::path& b) { folderInPlace(b / "Masters/IMG_1.jpg"); }, "unsafePath Masters/IMG_1.jpg"},
        {"a file made a link", [](const fs::path& b) { linkInPlace(b / "Masters/IMG_1.jpg"); }, "unsafePath Backup/Masters/IMG_1.jpg"},
        {"a folder made a link", [](const fs::path& b) { linkInPlace(b / "Masters"); }, "unsafePath Backup/Masters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        LibraryRecovery recovery;
        recovery.backupClosedCatalog(makePackage(dir, {"Masters/IMG_1.jpg"}), dir / "Backup");
        c.damage(dir / "Backup");
        // Links are named by where they are, here inside the private folder.
        const auto failed = [&](const std::function<void()>& call) {
            std::string failure = failureOf(call);
            if (failure.starts_with("unsafePath " + dir.path().string() + "/")) failure.erase(11, dir.path().string().size() + 1);
            return failure;
        };
        EXPECT_EQ(failed([&] { recovery.validate(dir / "Backup"); }), c.failure);
        EXPECT_EQ(failed([&] { recovery.restore(dir / "Backup", dir / "Restored"); }), c.failure);
        EXPECT_FALSE(fs::exists(dir / "Restored"));
    }
}

// A library changed while the backup runs: never a backup taken for complete. Its files are
// copied in order, Info.plist, Masters/a.jpg, Masters/b.jpg, then all read once more.
TEST(LibraryRecovery, ALibraryChangedDuringTheBackupLeavesNoManifest) {
    const struct {
        const char* what;
        bool aCopied;  // else changed while a.jpg is copied
        std::function<void(const fs::path&)> change;
        const char* failure;
    } cases[] = {
        // The copier keeps what it copied of a file that changed under it, and says so.
        {"appended while copied", false, [](const fs::path& library) { append(library / "Masters/a.jpg"); }, "keptCopy"},
        {"appended once copied", true, [](const fs::path& library) { append(library / "Masters/a.jpg"); }, "sourceChanged"},
        {"removed once copied", true, [](const fs::path& library) { fs::remove(library / "Masters/a.jpg"); }, "sourceChanged"},
        {"another added", true, [](const fs::path& library) { std::ofstream(library / "Masters/c.jpg") << "c"; }, "sourceChanged"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path library = makePackage(dir, {"Masters/a.jpg", "Masters/b.jpg"});
        const auto before =
            static_cast<std::int64_t>(fs::file_size(library / "Info.plist") + (c.aCopied ? fs::file_size(library / "Masters/a.jpg") : 0));
        LibraryRecovery recovery;
        bool changed = false;
        recovery.progress = [&](std::int64_t done, std::int64_t) {
            if (changed || done <= before) return;
            changed = true;
            c.change(library);
        };
        EXPECT_EQ(failureOf([&] { recovery.backupClosedCatalog(library, dir / "Backup"); }), c.failure);
        EXPECT_TRUE(changed);
        EXPECT_TRUE(fs::is_directory(dir / "Backup"));
        EXPECT_FALSE(fs::exists(dir / "Backup/backup.json"));
    }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
