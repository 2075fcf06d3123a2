// `oakenmere import` as a photographer uses it: photos copied in verified and catalogued, the
// preview made true, and a second import of the same card bringing nothing twice. Imports that
// are stopped, killed or meet bad input are import_reliability_test.cc's.
#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/jpeg_pictures.h"
#include "support/temp_dir.h"

namespace oakenmere::testing {
namespace {

// The preview's numbers as the program reports them: "captures photos contact-sheet-items".
std::string previewNumbers(const fs::path& library) {
    return python(
        "import json, sys; s = json.loads(sys.argv[1])['summary']; d = s['details']\n"
        "print(s['captureCount'], d['photos'], len(d['contactSheet']), d['hasUnfinishedImport'], d['writtenBy'].split()[0])",
        {runOakenmere({"preview", "--json", library.string()}).output});
}

std::vector<std::string> originalsIn(const fs::path& library) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(library / "Masters"))
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ImportProgram, CopiesCataloguesAndPreviewsAndNeverImportsTwice) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere", card = dir / "card";
    ASSERT_EQ(runOakenmere({"create", library.string()}).status, 0);
    for (int i = 0; i < 3; ++i)
        dir.writeFile(card / "DCIM/100CANON" / ("IMG_000" + std::to_string(i) + ".JPG"), jpegPicture(64 + i, 48, 0));
    dir.writeFile(card / "DCIM/100CANON/copy of IMG_0000.JPG", jpegPicture(64, 48, 0));
    dir.writeFile(card / "notes.txt", "not a picture");
    dir.writeFile(card / ".Trashes/old.JPG", jpegPicture(10, 10, 0));

    const Outcome first = runOakenmere({"import", card.string(), library.string()});
    EXPECT_EQ(first.status, 0) << first.errors;
    EXPECT_TRUE(first.output.starts_with("Imported 3 files (")) << first.output;
    EXPECT_TRUE(first.output.ends_with(
        ") into \u201CTrip\u201D; 1 already in the library; 1 other file skipped; 1 hidden file, link or special file left alone\n"))
        << first.output;
    EXPECT_EQ(originalsIn(library), (std::vector<std::string>{"IMG_0000.JPG", "IMG_0001.JPG", "IMG_0002.JPG"}));
    EXPECT_EQ(previewNumbers(library), "3 3 3 False Oakenmere\n");
    EXPECT_TRUE(fs::exists(library / "Summary.jpg"));
    EXPECT_TRUE(fs::is_empty(library / "Staging/FolderCopies"));

    const Outcome second = runOakenmere({"import", "--json", card.string(), library.string()});
    EXPECT_EQ(
        python("import json, sys; r = json.loads(sys.argv[1]); print(r['imported'], r['alreadyInLibrary'], r['failed'])", {second.output}),
        "0 4 0\n");
    EXPECT_EQ(originalsIn(library).size(), 3u);

    EXPECT_EQ(runOakenmere({"import", (library / "Masters").string(), library.string()}).status, 1 << 8);
    EXPECT_EQ(runOakenmere({"refresh", library.string()}).status, 0);

    // While another process has the library open, an import is refused before it writes anything.
    dir.writeFile(card / "IMG_0009.JPG", jpegPicture(99, 48, 0));
    ChildProcess holder({oakenmereProgram().string(), "open", "--hold", library.string()});
    ASSERT_TRUE(holder.waitForLine("Holding it open; press Ctrl-C to close it."));
    const Outcome refused = runOakenmere({"import", card.string(), library.string()});
    EXPECT_EQ(refused.status, 1 << 8);
    EXPECT_EQ(refused.errors, "oakenmere: This library is already open in another window or application.\n");
    EXPECT_TRUE(fs::is_empty(library / "Staging/FolderCopies"));
    EXPECT_EQ(originalsIn(library).size(), 3u);
}

}  // namespace
}  // namespace oakenmere::testing
