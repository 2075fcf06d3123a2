#include "LibraryBundle/maintenance/staging_deletion.h"

#include <gtest/gtest.h>

#include "platform/sha256.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using File = StagingDeletion::LibraryFile;
using Records = std::vector<File>;

const std::string kPhoto = "the photo's bytes";
const std::string kSha = platform::Sha256::hexOf(platform::asBytes(kPhoto));
const platform::Uuid kId = *platform::Uuid::parse("6F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F");

struct Staged : TempDir {
    fs::path library = makeFolder("Trip.oakenmere"), staged = writeFile("card/IMG_1.jpg", kPhoto);
    SourceIdentity identity = SourceIdentity::capture(staged);
    Staged() { writeFile("Trip.oakenmere/Masters/IMG_1.jpg", kPhoto); }
};

File managed(const std::string& path, std::optional<std::int64_t> size = std::nullopt, bool removed = false) {
    return {kId, File::Managed{path}, size, removed};
}

// A catalogue that lies in every way it can: the staged file always stays. Only the honest one,
// confirmed by a second lookup of a different file with the same bytes, lets it go.
TEST(StagingDeletion, OnlyAProvenCopyInTheLibraryLetsAStagedFileGo) {
    const struct {
        const char* what;
        Records first, second;
        bool removed;
        std::function<void(Staged&)> arrange = {};
    } cases[] = {
        {"honest", {managed("Masters/IMG_1.jpg")}, {managed("Masters/IMG_1.jpg")}, true},
        {"no record", {}, {}, false},
        {"other bytes",
         {managed("Masters/IMG_1.jpg")},
         {managed("Masters/IMG_1.jpg")},
         false,
         [](Staged& s) { s.writeFile("Trip.oakenmere/Masters/IMG_1.jpg", "THE PHOTO'S BYTES"); }},
        {"the staged file itself", {{kId, File::Referenced{""}, {}, false}}, {}, false},
        {"a hard link to it",
         {managed("Masters/link.jpg")},
         {managed("Masters/link.jpg")},
         false,
         [](Staged& s) { fs::create_hard_link(s.staged, s.library / "Masters/link.jpg"); }},
        {"second lookup disagrees", {managed("Masters/IMG_1.jpg")}, {managed("Masters/IMG_1.jpg", 17, true)}, false},
        {"library file vanished",
         {managed("Masters/IMG_1.jpg")},
         {managed("Masters/IMG_1.jpg")},
         false,
         [](Staged& s) { fs::remove(s.library / "Masters/IMG_1.jpg"); }},
        {"through a link",
         {managed("Linked/IMG_1.jpg")},
         {managed("Linked/IMG_1.jpg")},
         false,
         [](Staged& s) { s.makeSymlink(s.library / "Masters", "Trip.oakenmere/Linked"); }},
        {"outside the package", {managed("../card/IMG_1.jpg")}, {managed("../card/IMG_1.jpg")}, false},
        {"recently removed", {managed("Masters/IMG_1.jpg", std::nullopt, true)}, {}, false},
        {"another size", {managed("Masters/IMG_1.jpg", 5)}, {managed("Masters/IMG_1.jpg", 5)}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Staged s;
        if (c.arrange) c.arrange(s);
        Records first = c.first;
        for (File& record : first)
            if (auto* referenced = std::get_if<File::Referenced>(&record.place)) referenced->path = s.staged.string();
        int lookups = 0;
        const StagingDeletion deletion(s.library, false, [&](const std::string& sha) {
            EXPECT_EQ(sha, kSha);
            return ++lookups == 1 ? first : c.second;
        });
        EXPECT_EQ(deletion.remove(s.staged, s.identity, kSha), c.removed);
        EXPECT_EQ(fs::exists(s.staged), !c.removed);
        EXPECT_TRUE(fs::exists(s.library / "Masters/IMG_1.jpg") || std::string(c.what) == "library file vanished");
    }
}

TEST(StagingDeletion, HoldingNamesARecordWorthRepairing) {
    Staged s;
    Records records;
    std::string asked;
    const StagingDeletion deletion(s.library, false, [&](const std::string& sha) {
        asked = sha;
        return records;
    });
    EXPECT_EQ(deletion.holding(kSha, 17, std::nullopt), StagingDeletion::Holding(StagingDeletion::None{}));
    // A record of another size is not worth reading.
    records = {managed("Masters/IMG_1.jpg", 5)};
    EXPECT_EQ(deletion.holding(kSha, 17, std::nullopt), StagingDeletion::Holding(StagingDeletion::Unreachable{kId}));
    EXPECT_EQ(deletion.libraryFilesRead(), 0);
    records = {managed("Masters/IMG_1.jpg", std::nullopt, true), {kId, File::Elsewhere{}, {}, false}};
    EXPECT_EQ(deletion.holding(kSha, 17, std::nullopt), StagingDeletion::Holding(StagingDeletion::Unreachable{}));
    records.push_back(managed("Masters/missing.jpg"));
    EXPECT_EQ(deletion.holding(kSha, 17, std::nullopt), StagingDeletion::Holding(StagingDeletion::Unreachable{kId}));
    // Upper case finds the same; two staged copies of one picture read the library's file once.
    records = {managed("Masters/IMG_1.jpg")};
    const fs::path second = s.writeFile("card/IMG_1 copy.jpg", kPhoto);
    EXPECT_TRUE(deletion.isSafelyHeld(s.staged, s.identity, [] {
        std::string upper = kSha;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return upper;
    }()));
    EXPECT_EQ(asked, kSha);
    EXPECT_TRUE(deletion.remove(second, SourceIdentity::capture(second), kSha));
    EXPECT_EQ(deletion.libraryFilesRead(), 1);
    // A staged file that changed after it was measured stays.
    s.writeFile("card/IMG_1.jpg", kPhoto + "!");
    EXPECT_FALSE(deletion.remove(s.staged, s.identity, kSha));
    EXPECT_TRUE(fs::exists(s.staged));
}

TEST(StagingDeletion, EmptyFilesGoWithoutProofUnlessAllIsRefused) {
    Staged s;
    const fs::path empty = s.writeFile("card/empty.jpg", ""), one = s.writeFile("card/one.jpg", "x");
    int lookups = 0;
    const auto anything = [&](const std::string&) {
        ++lookups;
        return Records{managed("Masters/IMG_1.jpg")};
    };
    const StagingDeletion refusing(s.library, true, anything), deleting(s.library, false, anything);
    EXPECT_FALSE(refusing.removeEmpty(empty));
    EXPECT_FALSE(refusing.remove(s.staged, s.identity, kSha));
    EXPECT_FALSE(refusing.isSafelyHeld(s.staged, s.identity, kSha));
    EXPECT_EQ(lookups, 0);
    EXPECT_TRUE(deleting.removeEmpty(empty));
    EXPECT_FALSE(deleting.removeEmpty(one));
    EXPECT_TRUE(fs::exists(one) && fs::exists(s.staged) && !fs::exists(empty));
    const StagingDeletion failing(s.library, false, [](const std::string&) -> Records { throw std::runtime_error("offline"); });
    EXPECT_FALSE(failing.remove(s.staged, s.identity, kSha));
    EXPECT_TRUE(fs::exists(s.staged));
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
