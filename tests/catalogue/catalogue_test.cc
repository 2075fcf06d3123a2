#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/child_process.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::catalogue {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using platform::Date;
using platform::Uuid;
using File = LibraryBundle::StagingDeletion::LibraryFile;
using Named = LibraryBundle::LibraryPreviewSummary::NamedCount;

const std::string kShaA(64, 'a'), kShaB(64, 'b');

Original original(const std::string& name, const std::string& sha, MediaKind kind, double captured, std::string make = "",
                  std::string model = "") {
    return {Uuid::random(), "Masters/" + name, sha, 100, {kind, Date{captured}, true, std::move(make), std::move(model), 4000, 3000},
            Date{1000}};
}

Import import(std::int64_t published, double started = 500) {
    return {Uuid::random(), Date{started}, Date{started + 10}, "/media/card", published, 1, 0};
}

std::string sqlite(const fs::path& database, const std::string& query) {
    return python("import sqlite3, sys; print(sqlite3.connect(sys.argv[1]).execute(sys.argv[2]).fetchone()[0])",
                  {database.string(), query});
}

TEST(Catalogue, RecordsAndAnswersAcrossReopening) {
    TempDir dir;
    const fs::path package = dir.makeLibrary(), database = package / Catalogue::relativePath, log = database.string() + "-wal";
    EXPECT_FALSE(Catalogue::exists(package));
    std::vector<Original> originals{original("a.jpg", kShaA, MediaKind::photo, 300, "Canon", "Canon EOS R5"),
                                    original("a copy.jpg", kShaA, MediaKind::photo, 300, "", "Canon EOS R5"),
                                    original("b.cr3", kShaB, MediaKind::raw, 200, "Canon", "EOS R6"),
                                    original("c.mov", std::string(64, 'c'), MediaKind::video, 100, "Apple"),
                                    original("d.txt", std::string(64, 'd'), MediaKind::other, 900)};
    originals[4].metadata.pixelWidth = std::nullopt;
    const Import first = import(5);
    {
        Catalogue catalogue(package);
        EXPECT_EQ(catalogue.statistics().revision, 0);
        catalogue.record(first, originals);
        EXPECT_GT(fs::file_size(log), 0u);
        // Folded into the one file, which a reader sees whole without us.
        catalogue.checkpointAndClose();
        EXPECT_TRUE(!fs::exists(log) || fs::file_size(log) == 0);
        EXPECT_EQ(sqlite(database, "SELECT count(*) FROM originals"), "5\n");
        EXPECT_THROW(catalogue.revision(), std::logic_error);
    }
    Catalogue catalogue(package);
    EXPECT_TRUE(Catalogue::exists(package));

    const Statistics s = catalogue.statistics();
    EXPECT_EQ((std::vector{s.revision, s.originals, s.photos, s.raws, s.videos, s.bytes}), (std::vector<std::int64_t>{1, 5, 3, 1, 1, 500}));
    EXPECT_EQ(s.earliestCapture, Date{100});
    EXPECT_EQ(s.latestCapture, Date{300});  // the "other" file's 900 is no capture
    EXPECT_EQ(s.cameras, (std::vector<Named>{{"Canon EOS R5", 2}, {"Apple", 1}, {"Canon EOS R6", 1}}));

    // Capture date first, then import time, then identifier; stored fields come back whole.
    Original later = original("e.jpg", std::string(64, 'e'), MediaKind::photo, 300);
    later.importedAt = Date{2000};
    catalogue.record(import(1, 600), {later});
    const Original& firstOfTwo = std::min(originals[0], originals[1], [](auto& a, auto& b) { return a.id < b.id; });
    EXPECT_EQ(catalogue.newest(3), (std::vector{originals[4], later, firstOfTwo}));
    EXPECT_EQ(catalogue.newest(5, MediaKind::raw), std::vector{originals[2]});
    EXPECT_EQ(catalogue.imports().front(), first);
    EXPECT_EQ(catalogue.revision(), 2);

    EXPECT_TRUE(catalogue.isHeld(std::string(64, 'A')));
    EXPECT_FALSE(catalogue.isHeld(std::string(64, 'f')));
    EXPECT_EQ(catalogue.lookup(kShaB), (std::vector<File>{{originals[2].id, File::Managed{"Masters/b.cr3"}, 100, false}}));
    EXPECT_EQ(catalogue.lookup(std::string(64, 'A')).size(), 2u);
}

TEST(Catalogue, CamerasAreTheFiveMostUsedUnderShortNames) {
    TempDir dir;
    Catalogue catalogue(dir.makeLibrary());
    std::vector<Original> originals;
    const std::string longModel(100, 'x');
    const struct {
        std::string make, model;
        int count;
    } cameras[] = {{"NIKON", "nikon Z 8", 3}, {"Sony", "", 3},    {"", "", 9},        {"Fujifilm", "X-T5", 2},
                   {"Leica", longModel, 2},   {"Ricoh", "GR", 1}, {"Zeiss", "ZX1", 1}};
    for (const auto& camera : cameras)
        for (int i = 0; i < camera.count; ++i)
            originals.push_back(
                original(camera.make + longModel.substr(0, i) + ".jpg", kShaA, MediaKind::photo, 0, camera.make, camera.model));
    catalogue.record(import(1), originals);
    const std::string leica = "Leica " + longModel.substr(0, 74);
    EXPECT_EQ(catalogue.statistics().cameras,
              (std::vector<Named>{{"Sony", 3}, {"nikon Z 8", 3}, {"Fujifilm X-T5", 2}, {leica, 2}, {"Ricoh GR", 1}}));
}

// A batch that fails anywhere leaves the catalogue as it was, revision included.
TEST(Catalogue, AFailedRecordLeavesNothing) {
    const struct {
        const char* what;
        std::function<void(Original&, Original&)> spoil;
    } cases[] = {
        {"a path twice", [](Original&, Original& b) { b.relativePath = "Masters/new.jpg"; }},
        {"a path already held", [](Original&, Original& b) { b.relativePath = "Masters/held.jpg"; }},
        {"an identifier twice", [](Original& a, Original& b) { b.id = a.id; }},
        {"a capture date that is no number", [](Original&, Original& b) { b.metadata.captureDate = Date{std::nan("")}; }},
        {"a checksum that is not one", [](Original&, Original& b) { b.sha256 = "not hexadecimal"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Catalogue catalogue(dir.makeLibrary());
        catalogue.record(import(1), {original("held.jpg", kShaA, MediaKind::photo, 1)});
        Original a = original("new.jpg", kShaB, MediaKind::photo, 2), b = original("other.jpg", kShaB, MediaKind::photo, 3);
        c.spoil(a, b);
        EXPECT_THROW(catalogue.record(import(2), {a, b}), CatalogueError);
        EXPECT_EQ(catalogue.revision(), 1);
        EXPECT_EQ(catalogue.statistics().originals, 1);
        EXPECT_EQ(catalogue.imports().size(), 1u);
        EXPECT_FALSE(catalogue.isHeld(kShaB));
    }
}

// Originals whose copy was given up are read where they now live: lookups name that place, the
// numbers count them apart, and a batch naming one unknown original records nothing.
TEST(Catalogue, RecordsWhereOriginalsLiveOutsideThePackage) {
    TempDir dir;
    const fs::path package = dir.makeLibrary();
    Catalogue catalogue(package);
    const std::vector originals{original("2024/a.JPG", kShaA, MediaKind::photo, 1), original("2024/b.JPG", kShaB, MediaKind::photo, 2)};
    catalogue.record(import(1), originals);
    EXPECT_THROW(catalogue.relocate({{originals[0].id, "/media/disk/a.JPG"}, {platform::Uuid::random(), "/x"}}), CatalogueError);
    EXPECT_THROW(catalogue.relocate({{originals[0].id, "media/a.JPG"}}), CatalogueError);
    EXPECT_EQ(catalogue.originals(), originals);
    const std::int64_t revision = catalogue.revision();
    catalogue.relocate({{originals[1].id, "/media/disk/b.JPG"}});
    EXPECT_EQ(catalogue.revision(), revision + 1);
    EXPECT_EQ(catalogue.originals().at(1).location, "/media/disk/b.JPG");
    using File = LibraryBundle::StagingDeletion::LibraryFile;
    EXPECT_EQ(catalogue.lookup(kShaB).at(0).place, File::Place(File::Referenced{"/media/disk/b.JPG", {}}));
    EXPECT_EQ(catalogue.lookup(kShaA).at(0).place, File::Place(File::Managed{originals[0].relativePath}));
    catalogue.relocate({{originals[0].id, "/media/disk/a.JPG"}, {originals[0].id, std::nullopt}});
    EXPECT_EQ(catalogue.originals().at(0), originals[0]);
    const Statistics numbers = catalogue.statistics();
    EXPECT_EQ(numbers.originals, 2);
    EXPECT_EQ(numbers.copiedInside, 1);
    EXPECT_EQ(numbers.copiedInsideBytes, originals[0].size);
}

// A database our writer did not make, at this schema version.
fs::path foreignDatabase(TempDir& dir, const fs::path& package, int version) {
    const fs::path database = dir.makeFolder(package / "Database") / "catalogue.sqlite";
    python(
        "import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); c.execute('CREATE TABLE t (x)');"
        "c.execute('PRAGMA user_version = ' + sys.argv[2]); c.commit()",
        {database.string(), std::to_string(version)});
    return database;
}

// A first-version catalogue (this one's, with what later versions added taken away again) is
// brought forward: the names it already held answer for files found again; source files are
// known from then on, and only while their content is held.
TEST(Catalogue, BringsAFirstVersionCatalogueForward) {
    TempDir dir;
    const fs::path package = dir.makeLibrary(), database = package / Catalogue::relativePath;
    Catalogue(package).record(import(1), {original("2024/IMG_0001.JPG", kShaA, MediaKind::photo, 1)});
    python(
        "import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); c.execute('DROP INDEX originals_by_name_and_size');"
        "c.execute('ALTER TABLE originals DROP COLUMN file_name'); c.execute('ALTER TABLE originals DROP COLUMN location');"
        "c.execute('DROP TABLE sources'); c.execute('PRAGMA user_version = 1');"
        "c.commit()",
        {database.string()});
    Catalogue catalogue(package);
    EXPECT_TRUE(catalogue.mayHold("IMG_0001.JPG", 100));
    EXPECT_FALSE(catalogue.mayHold("IMG_0001.JPG", 101));
    EXPECT_FALSE(catalogue.mayHold("2024", 100));
    EXPECT_FALSE(catalogue.mayHold("IMG_0001.JPG", 100, 1'700'000'000));
    EXPECT_EQ(sqlite(database, "PRAGMA user_version"), "4\n");
    // A card file whose bytes were held already under another name, found twice.
    const std::vector<SourceFile> found{{"DSC_0001.JPG", 100, 1'700'000'000, kShaA}, {"DSC_0002.JPG", 100, 1'700'000'001, kShaB}};
    catalogue.record(import(0), {}, found);
    catalogue.record(import(0), {}, found);
    EXPECT_TRUE(catalogue.mayHold("DSC_0001.JPG", 100, 1'700'000'000));
    EXPECT_FALSE(catalogue.mayHold("DSC_0001.JPG", 100, 1'700'000'001));
    EXPECT_FALSE(catalogue.mayHold("DSC_0002.JPG", 100, 1'700'000'001));  // its content is not held
}

TEST(Catalogue, RefusesWhatItCannotUseAndLeavesItAlone) {
    const struct {
        const char* what;
        std::function<fs::path(TempDir&, const fs::path&)> arrange;  // the file that must stay as it was
        std::string failure;
    } cases[] = {
        {"a newer schema", [](TempDir& dir, const fs::path& package) { return foreignDatabase(dir, package, 5); },
         "This library’s catalogue was written by a newer version of Oakenmere (catalogue version 5); this version reads up to version "
         "4."},
        {"another program's tables", [](TempDir& dir, const fs::path& package) { return foreignDatabase(dir, package, 0); },
         "This library’s catalogue can’t be read: it holds tables Oakenmere did not make."},
        {"not a database",
         [](TempDir& dir, const fs::path& package) { return dir.writeFile(package / Catalogue::relativePath, std::string(4096, 'z')); },
         "This library’s catalogue can’t be read: file is not a database."},
        {"a link for the folder",
         [](TempDir& dir, const fs::path& package) {
             dir.makeFolder("elsewhere");
             dir.makeSymlink(dir / "elsewhere", package / "Database");
             return dir.writeFile("elsewhere/catalogue.sqlite", "");
         },
         "unsafePath Database"},
        {"a link for the database",
         [](TempDir& dir, const fs::path& package) {
             dir.makeSymlink(dir / "real.sqlite", package / Catalogue::relativePath);
             return dir.writeFile("real.sqlite", "");
         },
         "unsafePath Database/catalogue.sqlite"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path package = dir.makeLibrary();
        const fs::path kept = c.arrange(dir, package);
        const std::string before = contentsOf(kept);
        std::string failure = failureOf([&] { Catalogue catalogue(package); });
        if (failure.starts_with("unsafePath ")) failure = "unsafePath " + fs::path(failure.substr(11)).lexically_relative(package).string();
        EXPECT_EQ(failure, c.failure);
        EXPECT_TRUE(contentsOf(kept) == before);  // no byte of it changed
    }
}

}  // namespace
}  // namespace oakenmere::catalogue
