#include "LibraryBundle/maintenance/library_rename.h"

#include <gtest/gtest.h>

#include "LibraryBundle/core/errors.h"
#include "support/child_process.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {

void PrintTo(const LibraryRenameError& error, std::ostream* out) { *out << error.what(); }

namespace {

using namespace oakenmere::testing;
using Case = LibraryRenameError::Case;
using Call = FaultInjectionFileSystem::Call;

// What the rename refused with; nullopt when it succeeded.
std::optional<LibraryRenameError> refusalOf(const fs::path& url) {
    try {
        LibraryRename::rename(url);
    } catch (const LibraryRenameError& error) {
        return error;
    }
    return std::nullopt;
}

struct Earlier : TempDir {
    PackageInfo info;
    fs::path library = makeLibrary("Holiday.brightloft", info), renamed = path() / "Holiday.oakenmere";
    Earlier() { writeFile("Holiday.brightloft/Masters/a.jpg", "A"); }
    // The library is still whole under its earlier name.
    bool untouched() const { return LibraryRename::libraryID(library) == info.uuid() && contentsOf(library / "Masters/a.jpg") == "A"; }
};

TEST(LibraryRename, RefusesAnythingButAnEarlierLibraryNobodyHolds) {
    EXPECT_EQ(LibraryRename::target("x/Holiday.BrightLoft/"), "x/Holiday.oakenmere");
    EXPECT_EQ(LibraryRename::target("x/Holiday.oakenmere"), std::nullopt);
    EXPECT_EQ(LibraryRename::target("x/.brightloft"), std::nullopt);

    Earlier s;
    EXPECT_EQ(refusalOf(s.makeLibrary("New.oakenmere")), LibraryRenameError::notALegacyLibrary());
    EXPECT_EQ(refusalOf(s.makeFolder("Empty.brightloft")), LibraryRenameError::notALibrary());
    s.writeFile("Damaged.brightloft/Info.plist", "bplist00");
    EXPECT_EQ(refusalOf(s / "Damaged.brightloft"), LibraryRenameError::notALibrary());
    EXPECT_EQ(refusalOf(s.makeSymlink(s.library, "Link.brightloft")), LibraryRenameError::notALibrary());

    s.writeFile("Holiday.oakenmere/theirs", "T");
    EXPECT_EQ(refusalOf(s.library), LibraryRenameError::targetExists("Holiday.oakenmere"));
    EXPECT_EQ(namesIn(s.renamed), std::vector<std::string>{"theirs"});
    fs::remove_all(s.renamed);

    s.writeFile("Holiday.brightloft/.brightloft.lock", "");
    ChildProcess holder(
        {"/usr/bin/python3", "-c",
         "import fcntl, sys, time\nf = open(sys.argv[1])\nfcntl.flock(f, fcntl.LOCK_EX)\nprint('locked', flush=True)\ntime.sleep(600)",
         (s.library / ".brightloft.lock").string()});
    ASSERT_TRUE(holder.waitForLine("locked"));
    EXPECT_EQ(refusalOf(s.library), LibraryRenameError::libraryInUse());
    EXPECT_TRUE(s.untouched());
    EXPECT_FALSE(fs::exists(s.renamed));
}

TEST(LibraryRename, GivesTheNewNameInPlace) {
    Earlier s;  // without a lock file
    s.makeSymlink(s.library / "Masters/a.jpg", "Holiday.brightloft/Edits/inside");
    s.makeSymlink(s / "Holiday.brightloft/Masters", "Holiday.brightloft/Edits/Folder/masters");
    s.makeSymlink(s / "outside.jpg", "Holiday.brightloft/Edits/outside");
    s.makeSymlink("../Masters/a.jpg", "Holiday.brightloft/Edits/relative");
    EXPECT_EQ(LibraryRename::rename(s.library), s.renamed);
    EXPECT_FALSE(fs::exists(s.library));
    EXPECT_EQ(LibraryRename::libraryID(s.renamed), s.info.uuid());
    EXPECT_EQ(contentsOf(s.renamed / "Masters/a.jpg"), "A");
    EXPECT_EQ(fs::read_symlink(s.renamed / "Edits/inside"), s.renamed / "Masters/a.jpg");
    EXPECT_EQ(fs::read_symlink(s.renamed / "Edits/Folder/masters"), s.renamed / "Masters");
    EXPECT_EQ(fs::read_symlink(s.renamed / "Edits/outside"), s / "outside.jpg");
    EXPECT_EQ(fs::read_symlink(s.renamed / "Edits/relative"), "../Masters/a.jpg");
    EXPECT_EQ(namesIn(s.renamed / "Edits"), (std::vector<std::string>{"Folder", "inside", "outside", "relative"}));

    const std::vector<std::string> old{"/v/Holiday.brightloft", "/private/v/Holiday.brightloft"};
    EXPECT_EQ(LibraryRename::relinkedDestination("/private/v/Holiday.brightloft/Masters/x", old, "/v/Holiday.oakenmere"),
              "/v/Holiday.oakenmere/Masters/x");
    EXPECT_EQ(LibraryRename::relinkedDestination("/v/Holiday.brightloft", old, "/v/H.oakenmere"), "/v/H.oakenmere");
    EXPECT_EQ(LibraryRename::relinkedDestination("/v/Holiday.brightloft2/x", old, "/v/H.oakenmere"), std::nullopt);
}

// The proofs are made again at the last moment: a name taken or a package swapped after the
// first checks leaves everything where it was.
TEST(LibraryRename, ALastMomentChangeMovesNothing) {
    {
        Earlier s;
        FaultInjectionFileSystem disk;
        // An empty folder, which a plain rename would silently replace.
        disk.beforeCall(Call::rename, 1, [&] { s.makeFolder("Holiday.oakenmere"); });
        EXPECT_EQ(refusalOf(s.library), LibraryRenameError::targetExists("Holiday.oakenmere"));
        EXPECT_TRUE(s.untouched());
        EXPECT_EQ(namesIn(s.renamed), std::vector<std::string>{});
    }
    {
        Earlier s;
        FaultInjectionFileSystem disk;
        disk.beforeCall(Call::lock, 1, [&] {
            fs::rename(s.library, s / "Moved.brightloft");
            s.makeLibrary("Holiday.brightloft");
        });
        EXPECT_EQ(refusalOf(s.library), LibraryRenameError::notALibrary());
        EXPECT_FALSE(fs::exists(s.renamed));
        EXPECT_EQ(contentsOf(s / "Moved.brightloft/Masters/a.jpg"), "A");
        EXPECT_TRUE(fs::exists(s.library / "Info.plist"));
    }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
