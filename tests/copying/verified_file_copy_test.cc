#include "LibraryBundle/copying/verified_file_copy.h"

#include <cerrno>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

#include "LibraryBundle/core/errors.h"
#include "copying/copying_test_support.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;

constexpr std::size_t MiB = 1 << 20;

class VerifiedFileCopyTest : public ::testing::Test {
protected:
    TempDir dir;
    // More blocks than are read ahead, and not a whole number of them.
    std::string original = patternBytes(6 * MiB + 17, 1);
    fs::path source = dir.writeFile("card/DCIM/IMG_0001.CR3", original);
    fs::path library = dir.makeFolder("library/Masters");
    fs::path destination = library / "IMG_0001.CR3";
    std::string checksum = sha256Of(original);

    std::map<std::string, FileState> everythingIn(const fs::path& folder) const {
        std::map<std::string, FileState> files;
        for (const auto& name : namesIn(folder)) files[name] = *stateOf(folder / name);
        return files;
    }
};

TEST_F(VerifiedFileCopyTest, CopiesOfAnySizeAreVerifiedAndPublished) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, MiB, 3 * MiB + 17}) {
        SCOPED_TRACE(size);
        const std::string bytes = patternBytes(size, size);
        fs::path from = dir.writeFile("sizes/" + std::to_string(size), bytes);
        fs::path measured = library / ("measured-" + std::to_string(size));
        fs::path expected = library / ("expected-" + std::to_string(size));

        VerifiedFileCopy copier;
        std::int64_t reported = 0;
        copier.progress = [&](std::int64_t done) { reported = done; };
        EXPECT_EQ(copier.copyMeasuring(from, measured, SourceIdentity::capture(from)), sha256Of(bytes));
        EXPECT_EQ(reported, static_cast<std::int64_t>(size));
        std::string upperCase = sha256Of(bytes);  // either case is taken
        for (char& c : upperCase) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(copier.copy(from, expected, upperCase), expected);
        EXPECT_TRUE(holds(measured, bytes));
        EXPECT_TRUE(holds(expected, bytes));
        EXPECT_EQ(copier.hash(measured), sha256Of(bytes));
    }
    EXPECT_EQ(namesIn(library).size(), 8u);  // only the copies, no temporary names
}

// Blocks of zeros stay holes in the copy, also at its end, and read back as the same zeros.
TEST_F(VerifiedFileCopyTest, HolesInTheSourceStayHoles) {
    const fs::path sparse = dir.writeFile("card/disk.img", ""), zeros = dir.writeFile("card/zeros", std::string(5000, '\0'));
    fs::resize_file(sparse, 64 * MiB);
    std::fstream(sparse, std::ios::in | std::ios::out | std::ios::binary).seekp(MiB) << patternBytes(MiB, 3);
    VerifiedFileCopy copier;
    for (const fs::path& from : {sparse, zeros}) {
        const fs::path copy = library / from.filename();
        EXPECT_EQ(copier.copyMeasuring(from, copy, std::nullopt), copier.hash(from));
        EXPECT_EQ(fs::file_size(copy), fs::file_size(from));
    }
    struct stat status {};
    ASSERT_EQ(::stat((library / "disk.img").c_str(), &status), 0);
    EXPECT_LT(status.st_blocks * 512, 8 * static_cast<long>(MiB));
}

// Whatever holds the name, or when the destination is the source itself, nothing is touched.
TEST_F(VerifiedFileCopyTest, ConflictsTouchNothing) {
    std::ofstream(library / "other content") << "other";
    std::ofstream(library / "same content", std::ios::binary) << original;
    fs::create_directory(library / "a folder");
    fs::create_symlink(source, library / "a link to the same content");
    fs::create_directory_symlink(source.parent_path(), library / "a link to a folder");
    const std::pair<fs::path, bool> cases[] = {
        // destination, measured
        {library / "other content", false},
        {library / "same content", true},  // a measured copy needs a free name
        {library / "a folder", false},
        {library / "a link to the same content", false},
        // A trailing "/" names the link itself, in the library, not the folder it leads to.
        {library / "a link to the same content/", false},
        {library / "a link to a folder/", true},
        {source, false},
        {source.parent_path() / "../DCIM/./IMG_0001.CR3", true},  // itself, spelt differently
    };
    const auto before = everythingIn(library), sourceBefore = everythingIn(source.parent_path());
    for (const auto& [to, measured] : cases) {
        VerifiedFileCopy copier;
        EXPECT_EQ(failureOf([&, to = to, measured = measured] {
                      if (measured) copier.copyMeasuring(source, to, std::nullopt);
                      else copier.copy(source, to, checksum);
                  }),
                  "destinationConflict")
            << to;
        EXPECT_EQ(everythingIn(library), before) << to;
        EXPECT_EQ(everythingIn(source.parent_path()), sourceBefore) << to;
    }
    // A name holding the expected content is taken as done (VerifiedFileCopyFaults), unless the source changed.
    appendTo(source, "edited");
    EXPECT_EQ(failureOf([&] { VerifiedFileCopy().copy(source, library / "same content", checksum); }), "sourceMismatch");
    EXPECT_EQ(everythingIn(library), before);
}

// Refused, leaving the library empty and the source as it was: a wrong checksum, a source that is not
// the one inspected (stopped before anything is written), a link on either path, a missing folder.
TEST_F(VerifiedFileCopyTest, RefusedCopiesLeaveNothing) {
    const fs::path sourceLink = dir.makeSymlink(source, "card/link.CR3"), libraryLink = dir.makeSymlink(library, "linked");
    const SourceIdentity another = SourceIdentity::capture(dir.writeFile("card/IMG_0002.CR3", original));
    const auto copy = [&](const fs::path& from, const fs::path& to, const std::string& sha256) {
        return failureOf([&] { VerifiedFileCopy().copy(from, to, sha256); });
    };
    const auto measuring = [&](const fs::path& from, const fs::path& to, const std::optional<SourceIdentity>& inspected) {
        return failureOf([&] { VerifiedFileCopy().copyMeasuring(from, to, inspected); });
    };
    for (const std::string& wrong : {sha256Of("something else"), std::string("not a checksum"), std::string()})
        EXPECT_EQ(copy(source, destination, wrong), "hashMismatch") << wrong;
    EXPECT_EQ(measuring(source, destination, another), "sourceChanged");
    // What else has no SourceIdentity, refused by copies and hash() alike, is SourceIdentityTest's.
    const std::tuple<fs::path, fs::path, std::string> cases[] = {
        {sourceLink, destination, "unsafePath " + sourceLink.string()},
        {source, libraryLink / "IMG_0001.CR3", "unsafePath " + libraryLink.string()},
        {source, dir / "no such folder/IMG_0001.CR3", errnoName(ENOENT)}};
    for (const auto& [from, to, failure] : cases) {
        EXPECT_EQ(copy(from, to, checksum), failure);
        EXPECT_EQ(measuring(from, to, std::nullopt), failure);
    }
    EXPECT_TRUE(namesIn(library).empty());
    EXPECT_TRUE(holds(source, original));
}

// hash() refuses a file that changes while it is read and honours cancellation (a copy's is
// tested with the other faults); a copy flushes the file before reading it back and the folder
// after publication, no more.
TEST_F(VerifiedFileCopyTest, HashSeesChangesAndACopyFlushesTwice) {
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(failureOf([&] { VerifiedFileCopy().hash(source, stop.get_token()); }), "cancelled");
    {
        FaultInjectionFileSystem growing;
        growing.beforeCall(FaultInjectionFileSystem::Call::read, 6, [&] { appendTo(source, "!"); });
        EXPECT_EQ(failureOf([&] { VerifiedFileCopy().hash(source); }), "sourceChanged");
    }
    FaultInjectionFileSystem counting;
    EXPECT_EQ(VerifiedFileCopy().copyMeasuring(source, destination, std::nullopt), sha256Of(contentsOf(source)));
    EXPECT_EQ(counting.count(FaultInjectionFileSystem::Call::flush), 2);
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
