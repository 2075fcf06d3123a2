#include "LibraryBundle/core/LibraryFileType.h"

#include <gtest/gtest.h>

namespace LibraryBundle {
namespace {

namespace FileType = LibraryFileType;

TEST(LibraryFileType, NameTestsIgnoreCaseAndLookOnlyAtTheLastExtension) {
    struct Case {
        const char* path;
        bool library, legacy, preset, archive;
    };
    const Case cases[] = {
        {"/Volumes/Disk/Holiday.oakenmere", true, false, false, false},
        {"Holiday.OAKENMERE", true, false, false, false},
        {"Holiday.oakenmere/", true, false, false, false},
        {"Old.brightloft", true, true, false, false},
        {"Holiday.oakenmere.zip", false, false, false, false},
        {"Holiday.brightloft/Info.plist", false, false, false, false},
        {".oakenmere", false, false, false, false},
        {"oakenmere", false, false, false, false},
        {"Holiday.oakenmerebackup", false, false, false, false},
        {"Look.OakenmerePreset", false, false, true, false},
        {"Look.brightloftpreset", false, false, true, false},
        {"Trip.oakenmerepack", false, false, false, true},
        {"Trip.brightloftarchive", false, false, false, true},
        {"Trip.brightloftpack", false, false, false, false},
        {"Trip.oakenmerearchive", false, false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FileType::isLibraryName(c.path), c.library) << c.path;
        EXPECT_EQ(FileType::isLegacyLibraryName(c.path), c.legacy) << c.path;
        EXPECT_EQ(FileType::isPresetName(c.path), c.preset) << c.path;
        EXPECT_EQ(FileType::isArchiveName(c.path), c.archive) << c.path;
    }
}

TEST(LibraryFileType, LibraryFilenameFromWhatTheUserTyped) {
    const std::pair<const char*, const char*> cases[] = {
        {"Holiday", "Holiday"},
        {"Holiday.brightloft", "Holiday.brightloft"},
        {"Holiday.OAKENMERE", "Holiday.oakenmere"},
        {"Holiday.brightloft.oakenmere", "Holiday.oakenmere"},
        {"Holiday.Brightloft.OAKENMERE.oakenmere.OAKENMERE", "Holiday.oakenmere"},
        {"My.Holiday.oakenmere", "My.Holiday.oakenmere"},
        {".oakenmere.oakenmere", ".oakenmere.oakenmere"},
        {"a.oakenmere.oakenmere", "a.oakenmere"},
        {".oakenmere", ".oakenmere"},
        {"Caf\xC3\xA9.OAKENMERE", "Caf\xC3\xA9.oakenmere"},
        // A combining accent on the last letter makes a different character, so no extension.
        {"Holiday.oakenmere\xCC\x81", "Holiday.oakenmere\xCC\x81"},
        {"Holiday.brightlo\xCC\x81" "ft.oakenmere", "Holiday.brightlo\xCC\x81" "ft.oakenmere"},
        {"", ""},
        // Bytes that are not text are kept as they are, not replaced.
        {"Caf\xE9.OAKENMERE", "Caf\xE9.oakenmere"},
        {"\xFF.brightloft\xC3.oakenmere", "\xFF.brightloft\xC3.oakenmere"},
        {"\xE9.brightloft.oakenmere", "\xE9.oakenmere"},
    };
    for (const auto& [entered, expected] : cases) EXPECT_EQ(FileType::libraryFilename(entered), expected) << entered;
}

}  // namespace
}  // namespace LibraryBundle
