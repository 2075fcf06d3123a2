#include "LibraryBundle/core/library_file_type.h"

#include <gtest/gtest.h>
#include <vector>

namespace oakenmere::LibraryBundle {
namespace {

namespace FileType = LibraryFileType;

// A legacy library is a library too.
TEST(LibraryFileType, NameTestsIgnoreCaseAndLookOnlyAtTheLastExtension) {
    const std::pair<std::string_view, std::vector<const char*>> kinds[] = {
        {"library", {"/Volumes/Disk/Holiday.oakenmere", "Holiday.OAKENMERE", "Holiday.oakenmere/"}},
        {"legacy", {"Old.brightloft"}},
        {"preset", {"Look.OakenmerePreset", "Look.brightloftpreset"}},
        {"archive", {"Trip.oakenmerepack", "Trip.brightloftarchive"}},
        {"none",
         {"Trip.brightloftpack", "Trip.oakenmerearchive", "Holiday.oakenmere.zip", "Holiday.brightloft/Info.plist", ".oakenmere",
          "oakenmere", "Holiday.oakenmerebackup"}}};
    for (const auto& [kind, paths] : kinds)
        for (const char* path : paths) {
            EXPECT_EQ(FileType::isLibraryName(path), kind == "library" || kind == "legacy") << path;
            EXPECT_EQ(FileType::isLegacyLibraryName(path), kind == "legacy") << path;
            EXPECT_EQ(FileType::isPresetName(path), kind == "preset") << path;
            EXPECT_EQ(FileType::isArchiveName(path), kind == "archive") << path;
        }
}

TEST(LibraryFileType, LibraryFilenameFromWhatTheUserTyped) {
    // Kept as typed: no extension of ours, or nothing but one. A combining accent on the last letter makes a different
    // character, so no extension; bytes that are not text are kept as they are, not replaced.
    for (const char* kept : {"Holiday", "Holiday.brightloft", "My.Holiday.oakenmere", ".oakenmere", ".oakenmere.oakenmere", "",
                             "Holiday.oakenmere\u0301", "Holiday.brightlo\u0301ft.oakenmere", "\xFF.brightloft\xC3.oakenmere"})
        EXPECT_EQ(FileType::libraryFilename(kept), kept);
    const std::pair<const char*, const char*> changed[] = {{"Holiday.OAKENMERE", "Holiday.oakenmere"},
                                                           {"Holiday.brightloft.oakenmere", "Holiday.oakenmere"},
                                                           {"Holiday.Brightloft.OAKENMERE.oakenmere.OAKENMERE", "Holiday.oakenmere"},
                                                           {"Holiday.oakenmere.oakenmere", "Holiday.oakenmere"},
                                                           {"Caf\xC3\xA9.OAKENMERE", "Caf\xC3\xA9.oakenmere"},
                                                           {"Caf\xE9.OAKENMERE", "Caf\xE9.oakenmere"},
                                                           {"\xE9.brightloft.oakenmere", "\xE9.oakenmere"}};
    for (const auto& [entered, expected] : changed) EXPECT_EQ(FileType::libraryFilename(entered), expected) << entered;
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
