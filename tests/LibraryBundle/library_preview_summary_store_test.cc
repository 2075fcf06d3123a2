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
using oakenmere::platform::asText;
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

// Binary and XML identity records, identifiers in either case, every library extension.
TEST_F(LibraryPreviewSummaryStoreTest, WrittenSummaryAndSheetAreReadBack) {
    PackageInfo xml{.identifier = Uuid::random().string(), .name = "Caf\xC3\xA9", .xml = true};
    for (char& c : *xml.identifier) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::pair<const char*, PackageInfo> packages[] = {
        {"Holiday.oakenmere", info}, {"Upper.OAKENMERE", xml}, {"Old.brightloft", xml}, {"Old2.BrightLoft", xml}};
    for (const auto& [name, record] : packages) {
        SCOPED_TRACE(name);
        fs::path at = dir.makeLibrary(name, record);
        LibraryPreviewSummary written(record.uuid(), 3, 10, 12, Date{726'000'000.5}, withSheet());
        store.write(written, jpeg(5000, 7), at);
        EXPECT_EQ(dir.readFile(at / "Summary.json"), written.encodeJSON());
        EXPECT_EQ(namesIn(at), (std::vector<std::string>{"Info.plist", "Summary.jpg", "Summary.json"}));
        LibraryPreview preview = store.read(at);
        EXPECT_EQ(preview.name, record.name);
        EXPECT_EQ(preview.summary, written);
        EXPECT_EQ(preview.contactSheet, jpeg(5000, 7));
    }
}

TEST_F(LibraryPreviewSummaryStoreTest, UnusableSummariesAreIgnored) {
    auto with = [this](const char* key, Json value) {
        Json json = Json::parse(summary(1).encodeJSON());
        json[key] = std::move(value);
        return [text = json.dump(), this](const fs::path& at) { dir.writeFile(at, text); };
    };
    const std::pair<const char*, std::function<void(const fs::path&)>> cases[] = {
        {"missing", [](const fs::path&) {}},
        {"format 3", with("formatVersion", 3)},
        {"another library", with("libraryID", Uuid::random().string())},
        {"undecodable", with("captureCount", "ten")},
        {"empty", [this](const fs::path& at) { dir.writeFile(at, ""); }},
        {"folder", [this](const fs::path& at) { dir.makeFolder(at); }},
        {"FIFO", [](const fs::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }},
        {"symbolic link", [this](const fs::path& at) {
             put("real.json", summary(1).encodeJSON());
             dir.makeSymlink("real.json", at);
         }},
    };
    put("Summary.jpg", jpeg(100));
    for (const auto& [what, make] : cases) {
        fs::remove_all(package / "Summary.json");
        make(package / "Summary.json");
        LibraryPreview preview = store.read(package);
        EXPECT_EQ(preview.name, "Holiday") << what;
        EXPECT_FALSE(preview.summary) << what;
        EXPECT_FALSE(preview.contactSheet) << what;
    }
}

TEST_F(LibraryPreviewSummaryStoreTest, SummaryOfAtMost65536BytesIsRead) {
    std::string text = summary(1).encodeJSON();
    text.insert(1, std::string(65'536 - text.size(), ' '));
    put("Summary.json", text);
    EXPECT_EQ(store.read(package).summary, summary(1));
    put("Summary.json", text.insert(1, " "));
    EXPECT_FALSE(store.read(package).summary);
}

TEST_F(LibraryPreviewSummaryStoreTest, ContactSheetIsReadOnlyWhenListedAndAcceptable) {
    const struct {
        const char* what;
        std::optional<Details> details;
        std::optional<Bytes> file;
        bool shown;
    } cases[] = {
        {"listed", withSheet(), jpeg(100), true},
        {"exactly the limit", withSheet(), jpeg(2'000'000), true},
        {"over the limit", withSheet(), jpeg(2'000'001), false},
        {"PNG", withSheet(), kPng, false},
        {"marker cut short", withSheet(), Bytes{0xFF, 0xD8}, false},
        {"missing", withSheet(), std::nullopt, false},
        {"no details", std::nullopt, jpeg(100), false},
        {"empty list", Details(), jpeg(100), false},
    };
    for (const auto& c : cases) {
        fs::remove(package / "Summary.jpg");
        if (c.file) put("Summary.jpg", *c.file);
        put("Summary.json", summary(1, c.details).encodeJSON());
        LibraryPreview preview = store.read(package);
        EXPECT_EQ(preview.summary, summary(1, c.details)) << c.what;
        EXPECT_EQ(preview.contactSheet, c.shown ? c.file : std::nullopt) << c.what;
    }
}

TEST_F(LibraryPreviewSummaryStoreTest, WriteChecksItsInputAndTheLibrary) {
    fs::path missing = dir / "Missing.oakenmere";
    LibraryPreviewSummary invalid(info.uuid(), 1, 5, 4, Date{0});
    EXPECT_EQ(failureOf([&] { store.write(invalid, std::nullopt, missing); }), "invalidBundle");
    for (const Bytes& sheet : {kPng, jpeg(2'000'001), Bytes{}, Bytes{0xFF, 0xD8}})
        EXPECT_EQ(failureOf([&] { store.write(summary(1, withSheet()), sheet, missing); }), "invalidBundle");
    EXPECT_EQ(failureOf([&] { store.write(summary(1), jpeg(10), missing); }), errnoName(ENOENT));
    // Another library's summary is refused once the identity record has been read.
    LibraryPreviewSummary foreign(Uuid::random(), 1, 0, 0, Date{0}, withSheet());
    EXPECT_EQ(failureOf([&] { store.write(foreign, jpeg(10), package); }), "invalidBundle");
    EXPECT_EQ(namesIn(package), std::vector<std::string>{"Info.plist"});

    store.write(summary(1, withSheet()), jpeg(2'000'000), package);
    EXPECT_EQ(fs::file_size(package / "Summary.jpg"), 2'000'000u);
}

TEST_F(LibraryPreviewSummaryStoreTest, OnlyAHigherRevisionReplacesTheStoredSummary) {
    // Equal and lower revisions are refused in EveryFailureLeavesTheOldSummaryOrTheNewOneWhole.
    store.write(summary(5, withSheet()), jpeg(10, 1), package);
    store.write(summary(6), std::nullopt, package);  // the earlier sheet stays in place
    EXPECT_EQ(store.read(package).summary, summary(6));
    EXPECT_EQ(file("Summary.jpg"), asText(jpeg(10, 1)));

    // A stored summary of another library, or one that cannot be used, never blocks a write.
    Json foreign = Json::parse(summary(100).encodeJSON());
    foreign["libraryID"] = Uuid::random().string();
    put("Summary.json", foreign.dump());
    store.write(summary(1), std::nullopt, package);
    EXPECT_EQ(store.read(package).summary, summary(1));
    put("Summary.json", R"({"catalogRevision":100})");
    store.write(summary(0), std::nullopt, package);
    EXPECT_EQ(store.read(package).summary, summary(0));
}

TEST_F(LibraryPreviewSummaryStoreTest, OnlyLibraryFoldersAreOpened) {
    // Which names are library names is LibraryFileTypeTest's business.
    for (const char* name : {"Holiday.zip", ""}) {
        if (*name) dir.makeLibrary(name, info);
        fs::path at = *name ? dir / name : fs::path();
        EXPECT_EQ(failureOf([&] { store.read(at); }), "invalidBundle") << name;
        EXPECT_EQ(failureOf([&] { store.write(summary(1), std::nullopt, at); }), "invalidBundle") << name;
    }
    // The extension is checked before the path is looked at.
    EXPECT_EQ(failureOf([&] { store.read(dir / "Nowhere.txt"); }), "invalidBundle");
    EXPECT_EQ(failureOf([&] { store.read(dir / "Nowhere.oakenmere"); }), errnoName(ENOENT));
    dir.writeFile("File.oakenmere", "x");
    EXPECT_EQ(failureOf([&] { store.read(dir / "File.oakenmere"); }), errnoName(ENOTDIR));
    dir.makeSymlink(package, "Link.oakenmere");
    EXPECT_NE(failureOf([&] { store.read(dir / "Link.oakenmere"); }).find("errno"), std::string::npos);
    EXPECT_NE(failureOf([&] { store.write(summary(1), std::nullopt, dir / "Link.oakenmere"); }).find("errno"),
              std::string::npos);
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
    } cases[] = {
        {"format 2", record([](auto& i) { i.formatVersion = 2; }), "invalidBundle"},
        {"empty name", record([](auto& i) { i.name = ""; }), "invalidBundle"},
        {"too large", record([](auto& i) { i.name = std::string(70'000, 'x'); }), "invalidBundle"},
        {"empty", [&](auto at) { dir.writeFile(at, ""); }, "invalidBundle"},
        {"folder", [&](auto at) { dir.makeFolder(at); }, "invalidBundle"},
        {"FIFO", [](auto at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }, "invalidBundle"},
        {"no version", record([](auto& i) { i.formatVersion.reset(); }), "decoding"},
        {"not a property list", [&](auto at) { dir.writeFile(at, "formatVersion = 1"); }, "decoding"},
        {"missing", [](auto) {}, errnoName(ENOENT)},
        {"symbolic link", [&](auto at) {
             dir.writeFile("elsewhere.plist", infoPlistBytes(info));
             dir.makeSymlink(dir / "elsewhere.plist", at);
         }, errnoName(ELOOP)},
    };
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
            const bool identity = (fault.call == FaultInjectionFileSystem::Call::stat ||
                                   fault.call == FaultInjectionFileSystem::Call::read) && fault.nth == 1;
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
