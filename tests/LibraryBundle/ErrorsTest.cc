#include "LibraryBundle/core/Errors.h"

#include <gtest/gtest.h>

namespace LibraryBundle {
namespace {

TEST(LibraryBundleError, MessagesWordForWord) {
    const std::pair<LibraryBundleError, const char*> cases[] = {
        {LibraryBundleError::unsupportedVersion(2, std::nullopt),
         "This library was made by a newer Oakenmere (format 2), so this one can\u2019t open it. Nothing in the "
         "library has been changed."},
        {LibraryBundleError::unsupportedVersion(-7, std::nullopt),
         "This library was made by a newer Oakenmere (format -7), so this one can\u2019t open it. Nothing in the "
         "library has been changed."},
        {LibraryBundleError::unsupportedVersion(9, "3.2 (build 410)"),
         "This library was made by Oakenmere 3.2 (build 410), so this one can\u2019t open it. Open it with 3.2 "
         "(build 410) or later; nothing in the library has been changed."},
        {LibraryBundleError::invalidLocation(), "Choose a local folder with a .oakenmere extension."},
        {LibraryBundleError::destinationExists(), "A file or library already exists at that location. Choose a new name."},
        {LibraryBundleError::invalidBundle(), "This folder is not a library Oakenmere can open."},
        {LibraryBundleError::libraryAlreadyOpen(), "Close the current library before opening another."},
        {LibraryBundleError::libraryInUse(), "This library is already open in another window or application."},
    };
    for (const auto& [error, message] : cases) {
        EXPECT_EQ(error.errorDescription(), message);
        EXPECT_STREQ(error.what(), message);
    }
}

TEST(LibraryBundleError, EqualityIncludesThePayload) {
    const std::optional<std::string> none, v30 = "3.0", v31 = "3.1", empty = "";
    auto v = LibraryBundleError::unsupportedVersion;
    EXPECT_EQ(v(2, none), v(2, none));
    EXPECT_EQ(v(2, v30), v(2, v30));
    EXPECT_NE(v(2, none), v(3, none));
    EXPECT_NE(v(2, v30), v(2, v31));
    EXPECT_NE(v(2, v30), v(3, v30));
    EXPECT_NE(v(2, none), v(2, empty));
    EXPECT_NE(v(0, none), LibraryBundleError::invalidLocation());
    EXPECT_EQ(LibraryBundleError::invalidBundle(), LibraryBundleError::invalidBundle());
    EXPECT_NE(LibraryBundleError::libraryInUse(), LibraryBundleError::libraryAlreadyOpen());
}

TEST(VerifiedCopyError, MessagesWordForWord) {
    const std::pair<VerifiedCopyError, const char*> cases[] = {
        {VerifiedCopyError::unsafePath("Masters/../x.jpg"),
         "The file location contains an unsafe path or symbolic link: Masters/../x.jpg"},
        {VerifiedCopyError::unsafePath("/Volumes/Card/DCIM"),
         "The file location contains an unsafe path or symbolic link: /Volumes/Card/DCIM"},
        {VerifiedCopyError::keptCopy("Masters/.kept-1", "ab"),
         "The file changed or was removed while it was copied. The copy made of it is kept."},
        {VerifiedCopyError::sourceChanged(), "The source changed during copying. The completed copy was not published."},
        {VerifiedCopyError::hashMismatch(), "The copied file does not match the recorded source checksum."},
        {VerifiedCopyError::destinationConflict(),
         "A different file already exists at the destination. It was not overwritten."},
        {VerifiedCopyError::sourceMismatch(),
         "The file no longer matches its recorded checksum: it was changed or replaced."},
    };
    for (const auto& [error, message] : cases) {
        EXPECT_EQ(error.errorDescription(), message);
        EXPECT_STREQ(error.what(), message);
    }
}

TEST(VerifiedCopyError, EqualityIncludesThePayload) {
    EXPECT_EQ(VerifiedCopyError::unsafePath("a"), VerifiedCopyError::unsafePath("a"));
    EXPECT_NE(VerifiedCopyError::unsafePath("a"), VerifiedCopyError::unsafePath("b"));
    EXPECT_EQ(VerifiedCopyError::keptCopy("p", "s"), VerifiedCopyError::keptCopy("p", "s"));
    EXPECT_NE(VerifiedCopyError::keptCopy("p", "s"), VerifiedCopyError::keptCopy("p", "t"));
    EXPECT_NE(VerifiedCopyError::keptCopy("p", "s"), VerifiedCopyError::keptCopy("q", "s"));
    EXPECT_NE(VerifiedCopyError::unsafePath(""), VerifiedCopyError::sourceChanged());
    EXPECT_NE(VerifiedCopyError::hashMismatch(), VerifiedCopyError::sourceMismatch());
}

}  // namespace
}  // namespace LibraryBundle
