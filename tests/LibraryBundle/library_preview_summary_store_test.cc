#include "LibraryBundle/preview/library_preview_summary_store.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "LibraryBundle/core/errors.h"
#include "platform/json.h"
#include "support/failure.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using oakenmere::platform::asBytes;
using oakenmere::platform::Bytes;
using oakenmere::platform::Json;
using namespace oakenmere::testing;
using Details = LibraryPreviewSummary::Details;

Bytes jpeg(std::size_t size, std::uint8_t fill = 0) {
    Bytes bytes(size, fill);
    const std::uint8_t start[] = {0xFF, 0xD8, 0xFF, 0xE0};
    std::copy_n(start, std::min(size, sizeof start), bytes.begin());
    return bytes;
}
const Bytes kPng = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13};

Details withSheet() {
    Details details;
    details.contactSheet = {Uuid::random(), Uuid::random()};
    return details;
}

class LibraryPreviewSummaryStoreTest : public ::testing::Test {
protected:
    TempDir dir;
    PackageInfo info;
    fs::path package = dir.makeLibrary("Holiday.oakenmere", info);
    LibraryPreviewSummaryStore store;

    LibraryPreviewSummary summary(std::int64_t revision, std::optional<Details> details = std::nullopt) const {
        return LibraryPreviewSummary(info.uuid(), revision, 10, 12, Date{726'000'000.5}, std::move(details));
    }
    void put(const std::string& name, const auto& contents) const { dir.writeFile(package / name, contents); }
    std::string file(const std::string& name) const { return dir.readFile(package / name); }
};

// The summary is shown only if it is this library's and usable, and the contact sheet only while
// the summary lists one and the file is a JPEG within the limit. Empty or odd files are refused by
// the same reader as the identity record (UnusableIdentityRecordsFailReadAndWrite).
TEST_F(LibraryPreviewSummaryStoreTest, OnlyAUsableSummaryAndTheSheetItListsAreShown) {
    const std::string listing = summary(1, withSheet()).encodeJSON();
    auto with = [&](const char* key, Json value) {
        Json json = Json::parse(listing);
        json[key] = std::move(value);
        return json.dump();
    };
    auto padded = [&](std::size_t size) { return std::string(listing).insert(1, std::string(size - listing.size(), ' ')); };
    const struct {
        const char* what;
        std::optional<std::string> json;  // in Summary.json, if any
        std::optional<Bytes> sheet;       // in Summary.jpg, if any
        bool summaryShown, sheetShown;
    } cases[] = {{"listed", listing, jpeg(100), true, true},
                 {"picture of exactly the limit", listing, jpeg(2'000'000), true, true},
                 {"picture over the limit", listing, jpeg(2'000'001), true, false},
                 {"PNG", listing, kPng, true, false},
                 {"no picture", listing, std::nullopt, true, false},
                 {"no details", summary(1).encodeJSON(), jpeg(100), true, false},
                 {"empty list", summary(1, Details()).encodeJSON(), jpeg(100), true, false},
                 {"summary of 65,536 bytes", padded(65'536), jpeg(100), true, true},
                 {"summary of 65,537 bytes", padded(65'537), jpeg(100), false, false},
                 {"no summary", std::nullopt, jpeg(100), false, false},
                 {"format 3", with("formatVersion", 3), jpeg(100), false, false},
                 {"another library", with("libraryID", Uuid::random().string()), jpeg(100), false, false},
                 {"undecodable", with("captureCount", "ten"), jpeg(100), false, false}};
    for (const auto& c : cases) {
        for (const char* name : {"Summary.json", "Summary.jpg"}) fs::remove(package / name);
        if (c.json) put("Summary.json", *c.json);
        if (c.sheet) put("Summary.jpg", *c.sheet);
        const LibraryPreview preview = store.read(package);
        EXPECT_EQ(preview.name, "Holiday") << c.what;
        EXPECT_EQ(preview.summary, c.summaryShown ? std::optional(LibraryPreviewSummary::decodeJSON(asBytes(*c.json))) : std::nullopt)
            << c.what;
        EXPECT_EQ(preview.contactSheet, c.sheetShown ? c.sheet : std::nullopt) << c.what;
    }
}

// Bad input is refused before the library is looked at, and another library's summary once its
// identity record has been read; equal and lower revisions are refused in the sweep below.
TEST_F(LibraryPreviewSummaryStoreTest, WriteChecksItsInputTheLibraryAndTheStoredSummary) {
    fs::path missing = dir / "Missing.oakenmere";
    LibraryPreviewSummary invalid(info.uuid(), 1, 5, 4, Date{0});
    EXPECT_EQ(failureOf([&] { store.write(invalid, std::nullopt, missing); }), "invalidBundle");
    for (const Bytes& sheet : {kPng, jpeg(2'000'001), Bytes{}, Bytes{0xFF, 0xD8}})
        EXPECT_EQ(failureOf([&] { store.write(summary(1, withSheet()), sheet, missing); }), "invalidBundle");
    EXPECT_EQ(failureOf([&] { store.write(summary(1), jpeg(10), missing); }), errnoName(ENOENT));
    LibraryPreviewSummary foreign(Uuid::random(), 1, 0, 0, Date{0}, withSheet());
    EXPECT_EQ(failureOf([&] { store.write(foreign, jpeg(10), package); }), "invalidBundle");
    EXPECT_EQ(namesIn(package), std::vector<std::string>{"Info.plist"});

    store.write(summary(1, withSheet()), jpeg(2'000'000), package);
    store.write(summary(2), std::nullopt, package);  // a later summary without a sheet leaves the earlier sheet
    EXPECT_EQ(store.read(package).summary, summary(2));
    EXPECT_EQ(fs::file_size(package / "Summary.jpg"), 2'000'000u);
    // A stored summary of another library, of whatever revision, never blocks a write.
    Json stored = Json::parse(summary(100).encodeJSON());
    stored["libraryID"] = Uuid::random().string();
    put("Summary.json", stored.dump());
    store.write(summary(1), std::nullopt, package);
    EXPECT_EQ(store.read(package).summary, summary(1));
}

// Which names are library names is LibraryFileTypeTest's business; the name is checked before the path is
// looked at. Read and write open the package alike (a missing one: WriteChecksItsInputAndTheLibrary; a link to
// one: OakenmereProgram.WhatIsNotALibraryIsRefusedAlike).
TEST_F(LibraryPreviewSummaryStoreTest, OnlyLibraryFoldersAreOpened) {
    dir.makeLibrary("Holiday.zip", info);
    for (const fs::path& at : {dir / "Holiday.zip", fs::path(), dir / "Nowhere.txt"})
        EXPECT_EQ(failureOf([&] { store.read(at); }), "invalidBundle") << at;
    EXPECT_EQ(failureOf([&] { store.write(summary(1), std::nullopt, dir / "Holiday.zip"); }), "invalidBundle");
    dir.writeFile("File.oakenmere", "x");
    EXPECT_EQ(failureOf([&] { store.read(dir / "File.oakenmere"); }), errnoName(ENOTDIR));
}

// How the store reports each kind of unusable record; which records the decoder refuses is
// LibraryInfoTest's table.
TEST_F(LibraryPreviewSummaryStoreTest, UnusableIdentityRecordsFailReadAndWrite) {
    using Make = std::function<void(const fs::path&)>;
    auto record = [&](const std::function<void(PackageInfo&)>& change) -> Make {
        PackageInfo changed = info;
        change(changed);
        return [this, bytes = infoPlistBytes(changed)](const fs::path& at) { dir.writeFile(at, bytes); };
    };
    const struct {
        const char* what;
        Make make;
        std::string failure;
    } cases[] = {{"format 2", record([](auto& i) { i.formatVersion = 2; }), "invalidBundle"},
                 {"empty name", record([](auto& i) { i.name = ""; }), "invalidBundle"},
                 {"too large", record([](auto& i) { i.name = std::string(70'000, 'x'); }), "invalidBundle"},
                 {"empty", [&](auto at) { dir.writeFile(at, ""); }, "invalidBundle"},
                 {"FIFO", [](auto at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }, "invalidBundle"},
                 {"not a property list", [&](auto at) { dir.writeFile(at, "formatVersion = 1"); }, "decoding"},
                 {"missing", [](auto) {}, errnoName(ENOENT)},
                 {"symbolic link",
                  [&](auto at) {
                      dir.writeFile("elsewhere.plist", infoPlistBytes(info));
                      dir.makeSymlink(dir / "elsewhere.plist", at);
                  },
                  errnoName(ELOOP)}};
    for (const auto& c : cases) {
        fs::remove_all(package / "Info.plist");
        c.make(package / "Info.plist");
        EXPECT_EQ(failureOf([&] { store.read(package); }), c.failure) << c.what;
        EXPECT_EQ(failureOf([&] { store.write(summary(1), std::nullopt, package); }), c.failure) << c.what;
        EXPECT_FALSE(fs::exists(package / "Summary.json")) << c.what;
    }
}

// Old files, and a write of revision 2 with a new contact sheet over them, with every call
// failing in turn and the power cut after every call. A stored summary of the same or a later
// revision stays whatever fails, unless it is the stored summary that cannot be read.
TEST_F(LibraryPreviewSummaryStoreTest, EveryFailureLeavesTheOldSummaryOrTheNewOneWhole) {
    const Bytes oldSheet = jpeg(3000, 1), newSheet = jpeg(3000, 2);
    const LibraryPreviewSummary written = summary(2, withSheet());
    for (std::int64_t storedRevision : {1, 2, 3}) {
        SCOPED_TRACE("stored revision " + std::to_string(storedRevision));
        const LibraryPreviewSummary stored = summary(storedRevision, withSheet());
        const bool replaces = storedRevision < 2;
        const auto prepare = [&] {
            for (const std::string& name : namesIn(package))
                if (name != "Info.plist") fs::remove(package / name);
            put("Summary.json", stored.encodeJSON());
            put("Summary.jpg", oldSheet);
        };
        const auto write = [&] { store.write(written, newSheet, package); };
        // The sheet goes first: the new one may lie under the old summary (the store allows
        // it), never the old one under the new summary. Returns whether the summary is new.
        const auto expectOldOrNew = [&](bool mayBeOld, bool mayBeNew) {
            const LibraryPreview preview = store.read(package);
            const bool isNew = preview.summary == written, sheetIsNew = preview.contactSheet == newSheet;
            EXPECT_TRUE(isNew ? mayBeNew : mayBeOld && preview.summary == stored);
            EXPECT_EQ(file("Summary.json"), (isNew ? written : stored).encodeJSON());
            EXPECT_TRUE(sheetIsNew ? mayBeNew : !isNew && preview.contactSheet == oldSheet);
            return isNew;
        };
        sweepFaults(prepare, write, [&](const InjectedFault& fault, std::exception_ptr thrown) {
            SCOPED_TRACE(fault.describe());
            // Reading the identity record once opened (the first stat and read) fails as unusable.
            const bool identity =
                (fault.call == FaultInjectionFileSystem::Call::stat || fault.call == FaultInjectionFileSystem::Call::read) &&
                fault.nth == 1;
            EXPECT_EQ(failureOf(thrown), !thrown ? "" : identity ? "invalidBundle" : errnoName(fault.error));
            // A stored summary that cannot be read (the third open, second stat or read) counts as
            // none, so the write goes ahead whatever its revision.
            using Call = FaultInjectionFileSystem::Call;
            const bool goesAhead = replaces || (fault.error != EINTR && fault.call == Call::open && fault.nth == 3) ||
                                   (fault.error != EINTR && (fault.call == Call::stat || fault.call == Call::read) && fault.nth == 2);
            // A failed folder flush after the summary's rename is reported with the new summary in place.
            expectOldOrNew(thrown || !goesAhead, goesAhead);
            for (const std::string& name : namesIn(package)) EXPECT_FALSE(name.starts_with(".brightloft-summary-")) << name;
        });
        if (!replaces) continue;

        bool survived = false;
        sweepPowerCuts(prepare, write, [&](int calls) {
            SCOPED_TRACE("power cut after " + std::to_string(calls) + " calls");
            const bool isNew = expectOldOrNew(true, true);
            EXPECT_FALSE(survived && !isNew);
            survived = isNew;
        });
        EXPECT_TRUE(survived);
    }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
