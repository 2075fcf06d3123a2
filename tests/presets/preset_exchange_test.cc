#include "LibraryBundle/presets/preset_exchange.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "LibraryBundle/core/errors.h"
#include "support/failure.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using Case = FileError::Case;
using oakenmere::platform::toBytes;
using oakenmere::testing::failureOf;
using oakenmere::testing::namesIn;
using PresetExchange::Contents;
using Names = std::vector<std::string>;

const std::string kLut = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef.cube";
const std::string kNotAPreset = "This isn\u2019t a preset Oakenmere reads.", kTooLarge = "This preset is larger than Oakenmere reads.";

std::string readFailure(const fs::path& source) {
    return failureOf([&] { PresetExchange::read(source); });
}

TEST(PresetExchangeTest, WritesPackagesWholeOrNotAtAll) {
    oakenmere::testing::TempDir dir;
    const Contents bare{toBytes("{}"), {}}, full{toBytes("{\"a\":1}"), {{kLut, toBytes("LUT")}}};
    PresetExchange::write(bare, dir / "Bare.oakenmerepreset");
    EXPECT_EQ(namesIn(dir / "Bare.oakenmerepreset"), Names{"preset.json"});
    EXPECT_EQ(PresetExchange::read(dir / "Bare.oakenmerepreset"), bare);
    PresetExchange::write(full, dir / "Full.oakenmerepreset");
    EXPECT_EQ(PresetExchange::read(dir / "Full.oakenmerepreset"), full);

    EXPECT_EQ(failureOf([&] { PresetExchange::write(bare, dir / "Full.oakenmerepreset"); }),
              FileError(Case::fileWriteFileExists, "Full.oakenmerepreset").what());
    EXPECT_EQ(PresetExchange::read(dir / "Full.oakenmerepreset"), full);
    EXPECT_EQ(failureOf([&] {
                  PresetExchange::write({{}, {{"../x.cube", {}}}}, dir / "Bad.oakenmerepreset");
              }),
              FileError(Case::fileWriteInvalidFileName, "../x.cube").what());
    {
        oakenmere::testing::FaultInjectionFileSystem faults;
        faults.fail(oakenmere::testing::FaultInjectionFileSystem::Call::rename, 1, EIO);
        EXPECT_EQ(failureOf([&] { PresetExchange::write(full, dir / "Failed.oakenmerepreset"); }), "errno EIO");
    }
    EXPECT_EQ(namesIn(dir.path()), (Names{"Bare.oakenmerepreset", "Full.oakenmerepreset"}));
}

TEST(PresetExchangeTest, ReadsOnlyWhatAPackageMayHold) {
    oakenmere::testing::TempDir dir;
    const fs::path package = dir / "In.oakenmerepreset";
    EXPECT_EQ(readFailure(package.string() + "/"), FileError(Case::fileReadNoSuchFile, "In.oakenmerepreset").what());
    dir.makeFolder("In.oakenmerepreset");
    EXPECT_EQ(readFailure(package), kNotAPreset);
    dir.makeSymlink(dir.writeFile("outside.json", "{}"), "In.oakenmerepreset/preset.json");
    EXPECT_EQ(readFailure(package), kNotAPreset);

    fs::remove(package / "preset.json");
    dir.writeFile("In.oakenmerepreset/preset.json", "{}");
    dir.writeFile("In.oakenmerepreset/" + kLut, "LUT");
    dir.writeFile("In.oakenmerepreset/notes.txt", "notes");
    dir.makeSymlink(dir / "outside.json", "In.oakenmerepreset/" + kLut.substr(0, 64) + ".3dl");
    dir.makeFolder("In.oakenmerepreset/1" + kLut.substr(1));
    ASSERT_EQ(::mkfifo((package / ("2" + kLut.substr(1))).c_str(), 0600), 0);
    const auto before = namesIn(package);
    EXPECT_EQ(PresetExchange::read(package), (Contents{toBytes("{}"), {{kLut, toBytes("LUT")}}}));
    EXPECT_EQ(namesIn(package), before);
    EXPECT_EQ(PresetExchange::read(dir / "outside.json"), (Contents{toBytes("{}"), {}}));
}

TEST(PresetExchangeTest, RefusesFilesOverTheirLimits) {
    oakenmere::testing::TempDir dir;
    const fs::path package = dir / "Big.oakenmerepreset", plain = dir / "plain.json";
    const struct {
        fs::path file;
        std::uintmax_t size;
        std::string failure;
    } cases[] = {{plain, 524'288, ""},
                 {plain, 524'289, kTooLarge},
                 {package / "preset.json", 524'288, ""},
                 {package / "preset.json", 524'289, kTooLarge},
                 {package / kLut, 25'165'824, ""},
                 {package / kLut, std::uintmax_t{1} << 33, kTooLarge}};  // sparse: reading it would take 8 GiB
    dir.writeFile("Big.oakenmerepreset/preset.json", "{}");
    for (const auto& c : cases) {
        dir.writeFile(c.file.lexically_relative(dir.path()), "");
        fs::resize_file(c.file, c.size);
        const fs::path source = c.file == plain ? plain : package;
        EXPECT_EQ(readFailure(source), c.failure) << c.file << " " << c.size;
        fs::resize_file(c.file, 2);
    }
}

TEST(PresetExchangeTest, FindsAnAvailableName) {
    oakenmere::testing::TempDir dir;
    dir.makeFolder("Taken.oakenmerepreset");
    const std::string longName = std::string(119, 'x') + " " + std::string(80, 'y');
    const std::pair<std::string, std::string> cases[] = {{"  My/Look \t", "My-Look"}, {"a:b\\c", "a-b-c"},
                                                         {"Taken", "Taken 2"},        {"   ", "Preset"},
                                                         {".hidden", "Preset"},       {longName, std::string(119, 'x')}};
    for (const auto& [name, base] : cases)
        EXPECT_EQ(PresetExchange::availableURL(name, dir.path()), dir / (base + ".oakenmerepreset")) << name;
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
