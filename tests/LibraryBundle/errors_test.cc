#include "LibraryBundle/core/errors.h"

#include <gtest/gtest.h>

#include "LibraryBundle/core/bounded_file_reader.h"

namespace oakenmere::LibraryBundle {
namespace {

// Those the program prints in its own tests are checked there: a library by a named later build, one that is
// not a library or in use (OakenmereProgram, LibraryHeldByAnotherProcess), a kept copy and a destination conflict.
TEST(Errors, MessagesWordForWord) {
    const std::pair<std::string, const char*> cases[] = {
        {LibraryBundleError::unsupportedVersion(-7, std::nullopt).what(),
         "This library was made by a newer Oakenmere (format -7), so this one can\u2019t open it. Nothing in the "
         "library has been changed."},
        {LibraryBundleError::invalidLocation().what(), "Choose a local folder with a .oakenmere extension."},
        {LibraryBundleError::destinationExists().what(), "A file or library already exists at that location. Choose a new name."},
        {LibraryBundleError::libraryAlreadyOpen().what(), "Close the current library before opening another."},
        // Bytes that are not text are shown escaped, the rest as it is.
        {LibraryNameError("Caf\xE9 \xC3\xA9\xFF").what(),
         "The name \u201CCaf\\xE9 \u00E9\\xFF\u201D contains bytes that aren\u2019t text; choose another name."},
        {VerifiedCopyError::unsafePath("Masters/../x.jpg").what(),
         "The file location contains an unsafe path or symbolic link: Masters/../x.jpg"},
        {VerifiedCopyError::sourceChanged().what(), "The source changed during copying. The completed copy was not published."},
        {VerifiedCopyError::hashMismatch().what(), "The copied file does not match the recorded source checksum."},
        {VerifiedCopyError::sourceMismatch().what(), "The file no longer matches its recorded checksum: it was changed or replaced."},
        {BoundedFileReadError(BoundedFileReadError::Case::invalidMaximumBytes).what(), "The maximum file size is invalid."},
        {BoundedFileReadError(BoundedFileReadError::Case::notRegularFile).what(), "The requested file is not a regular file."},
        {BoundedFileReadError(BoundedFileReadError::Case::tooLarge).what(), "The requested file exceeds the allowed size."},
        {RelocationMappingError::inconsistentFolder().what(),
         "Choose the relocated file\u2019s containing folder, or an ancestor that preserves the original subfolder layout."},
        {LibraryRenameError::targetExists("Holiday.oakenmere").what(),
         "\u201CHoliday.oakenmere\u201D already exists in that folder, so the library kept its name."},
        {LibraryRenameError::folderAccessNeeded("Pictures").what(), "Oakenmere needs access to \u201CPictures\u201D to rename it."},
        {LibraryRenameError::notALegacyLibrary().what(), "Only a library made before beta 14 is given the new name."},
        {LibraryRenameError::notALibrary().what(), "This folder is not a library Oakenmere can open, so it was left as it is."},
        {LibraryRenameError::libraryInUse().what(), "The library is open in another window or app. Close it, then try again."},
    };
    for (const auto& [message, expected] : cases) EXPECT_EQ(message, expected);
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
