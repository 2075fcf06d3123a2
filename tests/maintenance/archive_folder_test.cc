// Archived originals are found under either archive folder name, the former folder is taken over
// without ever replacing anything, and when nothing can be reached the missing drive is named.
#include "LibraryBundle/maintenance/archive_folder.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sys/mount.h>
#include <unistd.h>

#include "platform/uuid.h"
#include "platform/xdg.h"
#include "support/failure.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;

const std::string kCurrent(ArchiveFolder::name), kFormer(ArchiveFolder::formerName);

std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> out;
    if (fs::exists(folder))
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            out[entry.path().lexically_relative(folder)] = entry.is_directory() ? "folder" : contentsOf(entry.path());
    return out;
}

TEST(ArchiveFolder, AlternatePathSwapsOnlyTheLastArchiveName) {
    EXPECT_EQ(ArchiveFolder::alternatePath("/Volumes/Disk/Brightloft Archive/2020/a.jpg"), "/Volumes/Disk/Oakenmere Archive/2020/a.jpg");
    EXPECT_EQ(ArchiveFolder::alternatePath("/Volumes/Disk/Oakenmere Archive/2020/a.jpg"), "/Volumes/Disk/Brightloft Archive/2020/a.jpg");
    EXPECT_EQ(ArchiveFolder::alternatePath("/d/Oakenmere Archive/Brightloft Archive//a"), "/d/Oakenmere Archive/Oakenmere Archive//a");
    EXPECT_EQ(ArchiveFolder::alternatePath("/d/Oakenmere Archives/a.jpg"), std::nullopt);
}

TEST(ArchiveFolder, PrepareTakesOverALoneFormerFolderAndNeverReplacesAnything) {
    const auto makeCurrent = [](const fs::path& root) {
        fs::create_directory(root / kCurrent), std::ofstream(root / kCurrent / "b") << "b";
    };
    const struct {
        const char* what;
        bool withCurrent;
        std::string result;                                         // "renamed", "as is" or the failure
        std::function<void(const fs::path& root)> lastMoment = {};  // after both checks, before the move
        bool withoutExclusiveRename = false;
    } cases[] = {
        {"former only", false, "renamed"},
        {"former only, no exclusive rename", false, "renamed", {}, true},
        {"both", true, "as is"},
        {"current made meanwhile", false, "errno EEXIST", makeCurrent},
        {"current made meanwhile, no exclusive rename", false, "errno EEXIST", makeCurrent, true},
        {"drive gone meanwhile", false, "errno ENOENT", [](const fs::path& root) { fs::remove_all(root); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path root = dir.makeFolder("Disk");
        dir.writeFile("Disk/" + kFormer + "/a", "a");
        if (c.withCurrent) makeCurrent(root);
        auto expected = snapshot(root);
        const auto isFolder = [&](const fs::path& path) {
            const bool answer = ArchiveFolder::isFolder(path);
            if (path == root / kFormer && c.lastMoment) c.lastMoment(root), expected = snapshot(root);
            return answer;
        };
        FaultInjectionFileSystem disk;
        if (c.withoutExclusiveRename) disk.fail(FaultInjectionFileSystem::Call::rename, 1, EINVAL);
        ArchiveFolder::Prepared prepared;
        std::string result = failureOf([&] { prepared = ArchiveFolder::prepare(root, isFolder); });
        if (result.empty()) {
            result = prepared.renamedFrom ? "renamed" : "as is";
            EXPECT_EQ(prepared.folder, root / kCurrent);
            EXPECT_EQ(prepared.renamedFrom, result == "renamed" ? std::optional(root / kFormer) : std::nullopt);
        }
        EXPECT_EQ(result, c.result);
        if (result == "renamed") expected = {{kCurrent, "folder"}, {kCurrent + "/a", "a"}};
        EXPECT_EQ(snapshot(root), expected);
    }
}

TEST(ArchiveFolder, ACopyIsFoundUnderEitherNameButOnlyInsideTheRoot) {
    TempDir dir;
    const fs::path root = dir / "Disk", inside = dir.writeFile("Disk/" + kCurrent + "/a.jpg", "a");
    dir.writeFile(kFormer + "/b.jpg", "b"), dir.writeFile("Disk2/" + kFormer + "/c.jpg", "c");
    const auto isThere = [](const std::string& path) { return fs::exists(path); };
    EXPECT_EQ(ArchiveFolder::copyPath((root / kFormer / "a.jpg").string(), root.string(), isThere), inside.string());
    for (const fs::path& outside : {dir / kCurrent / "b.jpg", root / ".." / kFormer / "b.jpg", dir / "Disk2" / kCurrent / "c.jpg"})
        EXPECT_EQ(ArchiveFolder::copyPath(outside.string(), root.string(), isThere), std::nullopt) << outside;
}

TEST(ArchiveFallback, AnOriginalIsReadFromItsPlaceElseItsArchivedCopyElseItsDriveIsNamed) {
    const std::string archived = "/Volumes/Photo Disk/" + kCurrent + "/2020/a.jpg";
    const fs::path original = "/home/ana/a.jpg", formerCopy = "/Volumes/Photo Disk/" + kFormer + "/2020/a.jpg";
    std::set<fs::path> present;
    const auto isThere = [&](const fs::path& path) { return present.contains(path); };
    const auto at = [](fs::path path) { return [path] { return path; }; };
    const auto unknown = []() -> fs::path { throw std::runtime_error("no bookmark"); };
    using Resolved = ArchiveFallback::Resolved;

    EXPECT_EQ(ArchiveFallback::resolve(at(original), std::nullopt, unknown, isThere), (Resolved{original, false}));
    EXPECT_EQ(failureOf([&] { ArchiveFallback::resolve(unknown, std::nullopt, at(archived), isThere); }), "no bookmark");
    EXPECT_EQ(failureOf([&] { ArchiveFallback::resolve(unknown, archived, unknown, isThere); }), "Archived · Photo Disk not connected");
    EXPECT_EQ(failureOf([&] { ArchiveFallback::resolve(at(original), "/home/ana/a.jpg", at(archived), isThere); }),
              "Archived · this Mac not connected");
    EXPECT_EQ(ArchiveFallback::locateCopy(archived, at(archived), isThere), std::nullopt);
    present = {formerCopy};
    EXPECT_EQ(ArchiveFallback::resolve(unknown, archived, unknown, isThere), (Resolved{formerCopy, true}));
    EXPECT_EQ(ArchiveFallback::locateCopy(archived, unknown, isThere), formerCopy);
    present = {formerCopy, archived};
    EXPECT_EQ(ArchiveFallback::resolve(at(original), archived, at(archived), isThere), (Resolved{archived, true}));
    EXPECT_EQ(ArchiveFallback::locateCopy(archived, at(archived), isThere), fs::path(archived));
    present.insert(original);
    EXPECT_EQ(ArchiveFallback::resolve(at(original), archived, at(archived), isThere), (Resolved{original, false}));
}

TEST(ArchiveFallback, DrivesAreNamedByWhereTheyMountAndConnectedOnlyWhileMounted) {
    for (const auto& [path, name] : std::map<std::string, std::string>{{"/Volumes/Photo Disk/a", "Photo Disk"},
                                                                       {"/media/" + platform::userName() + "/CARD/a", "CARD"},
                                                                       {"/media/CARD/a", "CARD"},
                                                                       {"/run/media/ana/CARD/a", "CARD"},
                                                                       {"/mnt/Backup/a", "Backup"},
                                                                       {"/Volumes/../home/ana/a", "this Mac"}})
        EXPECT_EQ(ArchiveFallback::driveName(path), name) << path;
    EXPECT_TRUE(ArchiveFallback::isDriveConnected("/home/ana/a.jpg"));

    TempDir dir;
    const fs::path file = dir.writeFile("a", "a"), folder = dir.makeFolder("f");
    for (const auto& [path, regular, isFolder] :
         std::vector<std::tuple<fs::path, bool, bool>>{{file, true, false},
                                                       {dir.makeSymlink(file, "l"), true, false},
                                                       {folder, false, true},
                                                       {dir.makeSymlink(folder, "k"), false, false}}) {
        EXPECT_EQ(ArchiveFallback::isRegularFile(path), regular) << path;
        EXPECT_EQ(ArchiveFolder::isFolder(path), isFolder) << path;
    }

    // A drive that goes away leaves its empty mount folder behind: that is not the drive.
    const fs::path drive = "/media/oakenmere-test-" + platform::Uuid::random().string(), photo = drive / "a.jpg";
    EXPECT_FALSE(ArchiveFallback::isDriveConnected(photo.string()));
    if (::geteuid() != 0 || !fs::create_directory(drive)) GTEST_SKIP() << "cannot make a mount folder in /media";
    const bool mounted = ::mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=64k") == 0;
    const bool connected = ArchiveFallback::isDriveConnected(photo.string());
    if (mounted) ::umount(drive.c_str());
    const bool connectedAfter = ArchiveFallback::isDriveConnected(photo.string());
    fs::remove(drive);
    if (!mounted) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_TRUE(connected);
    EXPECT_FALSE(connectedAfter);
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
