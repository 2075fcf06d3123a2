#include "LibraryBundle/presets/preset_library.h"

#include <cstdlib>
#include <gtest/gtest.h>

#include "LibraryBundle/core/errors.h"
#include "support/failure.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using Case = FileError::Case;
using oakenmere::platform::toBytes;
using oakenmere::testing::contentsOf;
using oakenmere::testing::failureOf;
using oakenmere::testing::namesIn;
using Names = std::vector<std::string>;

std::string fileFailure(Case c, const std::string& name) { return FileError(c, name).what(); }
const std::string kHex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(PresetLibraryTest, IdentifiersAndLutNamesFollowTheirRules) {
    const Names goodIds{"Warm-film_2", "Caf\u00E9", "e\u0301t\u00E9", std::string(64, 'a')},
        badIds{"", std::string(65, 'a'), "a b", "a/b", "a.b", "\xFF"};
    for (const std::string& id : goodIds) EXPECT_TRUE(PresetLibrary::isValidIdentifier(id)) << id;
    for (const std::string& id : badIds) EXPECT_FALSE(PresetLibrary::isValidIdentifier(id)) << id;
    const Names goodLuts{kHex + ".cube", kHex + ".3dl"}, badLuts{"A" + kHex.substr(1) + ".cube",  kHex + ".CUBE",      kHex + ".png",
                                                                 kHex.substr(1) + ".cube",        kHex + ".cube.cube", "." + kHex + ".cube",
                                                                 "../" + kHex.substr(3) + ".cube"};
    for (const std::string& name : goodLuts) EXPECT_TRUE(PresetLibrary::isValidLutName(name)) << name;
    for (const std::string& name : badLuts) EXPECT_FALSE(PresetLibrary::isValidLutName(name)) << name;
    EXPECT_EQ(PresetLibrary::lutURL(kHex + ".3dl", "/x"), fs::path("/x") / (kHex + ".3dl"));
    EXPECT_EQ(failureOf([] { PresetLibrary::lutURL("a.cube", "/x"); }), fileFailure(Case::fileWriteInvalidFileName, "a.cube"));
}

TEST(PresetLibraryTest, ListsCurrentFilesOverLegacyOnesAndWriteReplacesBoth) {
    oakenmere::testing::TempDir dir;
    auto library = PresetLibrary::forLibrary(dir.path());
    EXPECT_EQ(library.folder(), dir / "Presets");
    EXPECT_TRUE(library.list().empty());
    for (const char* name : {"A.brightloftpreset", "A.oakenmerepreset", "B.brightloftpreset", "C.OAKENMEREPRESET", ".D.oakenmerepreset"})
        dir.writeFile(fs::path("Presets") / name, std::string(name).substr(0, 3));
    dir.makeFolder("Presets/E.oakenmerepreset");
    dir.makeSymlink(dir / "Presets/A.oakenmerepreset", "Presets/F.oakenmerepreset");
    auto listed = library.list();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].id + "=" + std::string(listed[0].data->begin(), listed[0].data->end()), "A=A.o");
    EXPECT_EQ(listed[1].id + "=" + std::string(listed[1].data->begin(), listed[1].data->end()), "B=B.b");
    EXPECT_TRUE(listed[0].modified.has_value());
    {
        oakenmere::testing::FaultInjectionFileSystem faults;
        faults.fail(oakenmere::testing::FaultInjectionFileSystem::Call::read, 1, EIO);
        EXPECT_FALSE(library.list()[0].data.has_value());  // listed all the same
    }

    library.write("B", toBytes("new B"));
    EXPECT_EQ(contentsOf(dir / "Presets/B.oakenmerepreset"), "new B");
    EXPECT_FALSE(fs::exists(dir / "Presets/B.brightloftpreset"));
    EXPECT_EQ(failureOf([&] { library.write("../x", toBytes("x")); }), fileFailure(Case::fileWriteInvalidFileName, "../x"));
    {
        oakenmere::testing::FaultInjectionFileSystem faults;
        faults.fail(oakenmere::testing::FaultInjectionFileSystem::Call::rename, 1, EIO);
        EXPECT_EQ(failureOf([&] { library.write("B", toBytes("lost")); }), "errno EIO");
    }
    EXPECT_EQ(namesIn(dir / "Presets"), (Names{".D.oakenmerepreset", "A.brightloftpreset", "A.oakenmerepreset", "B.oakenmerepreset",
                                               "C.OAKENMEREPRESET", "E.oakenmerepreset", "F.oakenmerepreset"}));
}

TEST(PresetLibraryTest, RemovesRestoresAndErases) {
    oakenmere::testing::TempDir dir;
    PresetLibrary library(dir / "Presets");
    const fs::path removed = dir / "Presets/.Removed";
    EXPECT_EQ(failureOf([&] { library.remove("A"); }), fileFailure(Case::fileNoSuchFile, "A.oakenmerepreset"));
    EXPECT_EQ(failureOf([&] { library.restore("A"); }), fileFailure(Case::fileNoSuchFile, "A.oakenmerepreset"));
    library.write("A", toBytes("1"));
    library.remove("A");
    library.write("A", toBytes("2"));
    library.remove("A");
    EXPECT_EQ(namesIn(removed), Names{"A.oakenmerepreset"});
    EXPECT_EQ(contentsOf(removed / "A.oakenmerepreset"), "2");
    library.write("A", toBytes("3"));
    EXPECT_EQ(failureOf([&] { library.restore("A"); }), fileFailure(Case::fileWriteFileExists, "A.oakenmerepreset"));
    EXPECT_EQ(contentsOf(removed / "A.oakenmerepreset"), "2");
    dir.writeFile("Presets/L.brightloftpreset", "legacy");
    library.remove("L");
    library.restore("L");
    EXPECT_EQ(contentsOf(dir / "Presets/L.brightloftpreset"), "legacy");
    library.eraseRemoved();
    EXPECT_FALSE(fs::exists(removed));
    library.eraseRemoved();
    EXPECT_EQ(contentsOf(dir / "Presets/A.oakenmerepreset"), "3");
}

TEST(PresetLibraryTest, KeepsLutsAndMovedIdentifiers) {
    oakenmere::testing::TempDir dir;
    PresetLibrary library(dir / "Presets");
    const std::string lut = kHex + ".cube";
    EXPECT_EQ(library.lutData(lut), std::nullopt);
    library.writeLUT(lut, toBytes("first"));
    library.writeLUT(lut, toBytes("second"));
    EXPECT_EQ(library.lutData(lut), toBytes("first"));
    EXPECT_EQ(failureOf([&] { library.writeLUT("x.cube", toBytes("x")); }), fileFailure(Case::fileWriteInvalidFileName, "x.cube"));
    // A "LUTs" link to elsewhere is neither read nor written through.
    PresetLibrary linked(dir / "Linked");
    dir.writeFile("elsewhere/" + lut, "private");
    dir.makeSymlink(dir / "elsewhere", "Linked/LUTs");
    EXPECT_NE(failureOf([&] { linked.lutData(lut); }), "");
    EXPECT_NE(failureOf([&] { linked.writeLUT(kHex + ".3dl", toBytes("x")); }), "");
    EXPECT_EQ(namesIn(dir / "elsewhere"), Names{lut});

    EXPECT_TRUE(library.movedIDs().empty());
    for (const char* broken : {"{", "[1]", "{\"a\": 1}"}) {
        dir.writeFile("Presets/.moved.json", broken);
        EXPECT_TRUE(library.movedIDs().empty()) << broken;
    }
    library.noteMoved({"b", "a"});
    library.noteMoved({});
    EXPECT_EQ(contentsOf(dir / "Presets/.moved.json"), "[\n  \"a\",\n  \"b\"\n]");
    library.noteMoved({"c", "a"});
    EXPECT_EQ(library.movedIDs(), (std::set<std::string>{"a", "b", "c"}));
    EXPECT_EQ(namesIn(dir / "Presets"), (Names{".moved.json", "LUTs"}));
}

TEST(PresetLibraryTest, ChoosesTheSharedFolder) {
    const char* const dataHome = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> saved = dataHome ? std::optional<std::string>(dataHome) : std::nullopt;
    ::setenv("XDG_DATA_HOME", "/xdg-data", 1);
    const auto harness = PresetLibrary::sharedFolder({{"BRIGHTLOFT_HARNESS", ""}});
    ASSERT_TRUE(harness.has_value());
    EXPECT_TRUE(harness->filename().string().starts_with("BrightloftHarnessPresets-"));
    const std::pair<PresetLibrary::Environment, std::optional<fs::path>> cases[] = {
        {{{"BRIGHTLOFT_SHARED_PRESETS", "/shared"}, {"BRIGHTLOFT_HARNESS", "1"}}, "/shared"},
        {{{"BRIGHTLOFT_SHARED_PRESETS", ""}}, "/xdg-data/Brightloft/Presets"},
        {{{"BRIGHTLOFT_SHARED_PRESETS", "here"}}, fs::current_path() / "here"},
        {{{"BRIGHTLOFT_UI_TEST_LIBRARY_DIRECTORY", "/x"}}, harness}};
    for (const auto& [environment, folder] : cases) EXPECT_EQ(PresetLibrary::sharedFolder(environment), folder);
    saved ? ::setenv("XDG_DATA_HOME", saved->c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(PresetLibrary::processEnvironment().at("PATH"), std::getenv("PATH"));
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
