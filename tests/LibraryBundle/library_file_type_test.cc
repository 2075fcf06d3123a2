#include "LibraryBundle/core/library_file_type.h"

#include <gtest/gtest.h>

namespace oakenmere::LibraryBundle {
namespace {

namespace FileType = LibraryFileType;

TEST(LibraryFileType, NameTestsIgnoreCaseAndLookOnlyAtTheLastExtension) {
    const std::pair<const char*, std::string_view> cases[] = {  // name, kind (a legacy library is a library too)
        {"/Volumes/Disk/Holiday.oakenmere", "library"}, {"Holiday.OAKENMERE", "library"}, {"Holiday.oakenmere/", "library"},
        {"Old.brightloft", "legacy"}, {"Look.OakenmerePreset", "preset"}, {"Look.brightloftpreset", "preset"},
        {"Trip.oakenmerepack", "archive"}, {"Trip.brightloftarchive", "archive"}, {"Trip.brightloftpack", "none"},
        {"Trip.oakenmerearchive", "none"}, {"Holiday.oakenmere.zip", "none"}, {"Holiday.brightloft/Info.plist", "none"},
        {".oakenmere", "none"}, {"oakenmere", "none"}, {"Holiday.oakenmerebackup", "none"},
    };
    for (const auto& [path, kind] : cases) {
        EXPECT_EQ(FileType::isLibraryName(path), kind == "library" || kind == "legacy") << path;
        EXPECT_EQ(FileType::isLegacyLibraryName(path), kind == "legacy") << path;
        EXPECT_EQ(FileType::isPresetName(path), kind == "preset") << path;
        EXPECT_EQ(FileType::isArchiveName(path), kind == "archive") << path;
    }
}

TEST(LibraryFileType, LibraryFilenameFromWhatTheUserTyped) {
    const std::pair<const char*, const char*> cases[] = {
        {"Holiday", "Holiday"}, {"Holiday.brightloft", "Holiday.brightloft"}, {"Holiday.OAKENMERE", "Holiday.oakenmere"},
        {"Holiday.brightloft.oakenmere", "Holiday.oakenmere"}, {"My.Holiday.oakenmere", "My.Holiday.oakenmere"},
        {"Holiday.Brightloft.OAKENMERE.oakenmere.OAKENMERE", "Holiday.oakenmere"}, {".oakenmere", ".oakenmere"},
        {".oakenmere.oakenmere", ".oakenmere.oakenmere"}, {"Holiday.oakenmere.oakenmere", "Holiday.oakenmere"}, {"", ""},
        {"Caf\xC3\xA9.OAKENMERE", "Caf\xC3\xA9.oakenmere"},
        // A combining accent on the last letter makes a different character, so no extension.
        {"Holiday.oakenmere\xCC\x81", "Holiday.oakenmere\xCC\x81"},
        {"Holiday.brightlo\xCC\x81" "ft.oakenmere", "Holiday.brightlo\xCC\x81" "ft.oakenmere"},
        // Bytes that are not text are kept as they are, not replaced.
        {"Caf\xE9.OAKENMERE", "Caf\xE9.oakenmere"}, {"\xE9.brightloft.oakenmere", "\xE9.oakenmere"},
        {"\xFF.brightloft\xC3.oakenmere", "\xFF.brightloft\xC3.oakenmere"},
    };
    for (const auto& [entered, expected] : cases) EXPECT_EQ(FileType::libraryFilename(entered), expected) << entered;
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
