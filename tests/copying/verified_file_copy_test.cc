#include "LibraryBundle/copying/verified_file_copy.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <map>

#include "LibraryBundle/core/errors.h"
#include "copying/copying_test_support.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;

constexpr std::size_t MiB = 1 << 20;

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

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
        EXPECT_EQ(copier.copyMeasuring(from, measured, std::nullopt), sha256Of(bytes));
        EXPECT_EQ(reported, static_cast<std::int64_t>(size));
        EXPECT_EQ(copier.copy(from, expected, upper(sha256Of(bytes))), expected);
        EXPECT_TRUE(holds(measured, bytes));
        EXPECT_TRUE(holds(expected, bytes));
        EXPECT_EQ(copier.hash(measured), sha256Of(bytes));
    }
    EXPECT_EQ(namesIn(library).size(), 8u);  // only the copies, no temporary names
}

// A destination that already holds the expected content is left as it is (OakenmereProgramTest
// copies onto one); but not when the source no longer holds it.
TEST_F(VerifiedFileCopyTest, AnIdenticalDestinationOfAChangedSourceIsAMismatch) {
    dir.writeFile(destination, original);
    const auto before = everythingIn(library);
    appendTo(source, "edited");
    EXPECT_EQ(failureOf([&] { VerifiedFileCopy().copy(source, destination, checksum); }), "sourceMismatch");
    EXPECT_EQ(everythingIn(library), before);
}

// Whatever holds the name, or when the destination is the source itself, nothing is touched.
TEST_F(VerifiedFileCopyTest, ConflictsTouchNothing) {
    std::ofstream(library / "other content") << "other";
    std::ofstream(library / "same content", std::ios::binary) << original;
    fs::create_directory(library / "a folder");
    fs::create_symlink(source, library / "a link to the same content");
    fs::create_directory_symlink(source.parent_path(), library / "a link to a folder");
    const std::pair<fs::path, bool> cases[] = {  // destination, measured
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
    for (const auto& c : cases) {
        const fs::path& to = c.first;  // named, not bound: lambdas below capture it
        const bool measured = c.second;
        VerifiedFileCopy copier;
        EXPECT_EQ(failureOf([&] {
                      if (measured) copier.copyMeasuring(source, to, std::nullopt);
                      else copier.copy(source, to, checksum);
                  }),
                  "destinationConflict")
            << to;
        EXPECT_EQ(everythingIn(library), before) << to;
        EXPECT_EQ(everythingIn(source.parent_path()), sourceBefore) << to;
    }
}

TEST_F(VerifiedFileCopyTest, AWrongChecksumIsNeverPublished) {
    for (const std::string& wrong : {sha256Of("something else"), std::string("not a checksum"), std::string()}) {
        EXPECT_EQ(failureOf([&] { VerifiedFileCopy().copy(source, destination, wrong); }), "hashMismatch") << wrong;
        EXPECT_TRUE(namesIn(library).empty());
    }
}

TEST_F(VerifiedFileCopyTest, UnsafeAndMissingPathsAreRefusedBeforeAnythingIsWritten) {
    fs::path sourceLink = dir.makeSymlink(source, "card/link.CR3");
    fs::path libraryLink = dir.makeSymlink(library, "linked");
    fs::path folder = source.parent_path();
    const struct {
        fs::path from, to;
        std::string failure;
    } cases[] = {
        {sourceLink, destination, "unsafePath " + sourceLink.string()},
        {folder, destination, "unsafePath " + folder.string()},
        {source, libraryLink / "IMG_0001.CR3", "unsafePath " + libraryLink.string()},
        {dir / "card/missing.CR3", destination, errnoName(ENOENT)},
        {source, dir / "no such folder/IMG_0001.CR3", errnoName(ENOENT)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { VerifiedFileCopy().copy(c.from, c.to, checksum); }), c.failure) << c.from << c.to;
        EXPECT_EQ(failureOf([&] { VerifiedFileCopy().copyMeasuring(c.from, c.to, std::nullopt); }), c.failure)
            << c.from << c.to;
    }
    EXPECT_EQ(failureOf([&] { VerifiedFileCopy().hash(sourceLink); }), "unsafePath " + sourceLink.string());
    EXPECT_EQ(failureOf([&] { VerifiedFileCopy().hash(dir / "card/missing.CR3"); }), errnoName(ENOENT));
    EXPECT_TRUE(namesIn(library).empty());
    EXPECT_TRUE(holds(source, original));
}

TEST_F(VerifiedFileCopyTest, AnInspectedIdentityThatNoLongerMatchesStopsTheCopyAtOnce) {
    const SourceIdentity inspected = SourceIdentity::capture(source);
    appendTo(source, "edited after it was listed");
    EXPECT_EQ(failureOf([&] { VerifiedFileCopy().copyMeasuring(source, destination, inspected); }), "sourceChanged");
    EXPECT_TRUE(namesIn(library).empty());

    EXPECT_EQ(VerifiedFileCopy().copyMeasuring(source, destination, SourceIdentity::capture(source)),
              sha256Of(contentsOf(source)));
}

// Nothing is published when a copy fails part-way. What was copied of a source that changed or
// went away meanwhile is set aside: whole under a ".kept-" name that the error reports with its
// checksum, partial under an ".incomplete-" one. Reads fail beyond the blocks read ahead; the
// close that fails is the one after the final flush.
TEST_F(VerifiedFileCopyTest, WhatIsLeftWhenACopyFailsPartWay) {
    using Call = FaultInjectionFileSystem::Call;
    // The close that can fail a copy is the one right after the copy's flush.
    int closesBeforeFlush = 0;
    {
        FaultInjectionFileSystem counting;
        counting.beforeCall(Call::flush, 1, [&] { closesBeforeFlush = counting.count(Call::close); });
        VerifiedFileCopy().copyMeasuring(source, destination, std::nullopt);
        fs::remove(destination);
    }
    const std::function<void()> grow = [this] { appendTo(source, "more"); }, remove = [this] { fs::remove(source); };
    const std::string_view kept = VerifiedFileCopy::keptPrefix, incomplete = VerifiedFileCopy::incompletePrefix;
    const struct {
        std::optional<std::pair<Call, int>> at;  // the call that changes the source or fails; none: after read-back
        std::function<void()> change;
        int error;
        std::string failure;
        std::string_view leftPrefix;  // "" for nothing left
        std::size_t copied;
    } cases[] = {
        {{}, grow, 0, "keptCopy", kept, original.size()},
        {{}, remove, 0, "keptCopy", kept, original.size()},
        {{{Call::read, 2}}, remove, 0, "keptCopy", kept, original.size()},  // the open source is read to its end
        {{{Call::read, 6}}, {}, EIO, errnoName(EIO), "", 0},
        {{{Call::read, 6}}, grow, EIO, errnoName(EIO), incomplete, 5 * MiB},
        {{{Call::close, closesBeforeFlush + 1}}, {}, EIO, errnoName(EIO), "", 0},
        {{{Call::close, closesBeforeFlush + 1}}, grow, EIO, errnoName(EIO), incomplete, original.size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure + (c.at ? " at call " + std::to_string(c.at->second) : " after read-back"));
        dir.writeFile(source, original);
        FaultInjectionFileSystem faults;
        if (c.at && c.change) faults.beforeCall(c.at->first, c.at->second, c.change);
        if (c.at && c.error) faults.fail(c.at->first, c.at->second, c.error);
        VerifiedFileCopy copier([&](const fs::path&) { if (!c.at) c.change(); });
        std::optional<VerifiedCopyError> error;
        EXPECT_EQ(failureOf([&] {
                      try {
                          copier.copyMeasuring(source, destination, std::nullopt);
                      } catch (const VerifiedCopyError& e) {
                          error = e;
                          throw;
                      }
                  }),
                  c.failure);
        const auto names = namesIn(library);
        ASSERT_EQ(names.size(), c.leftPrefix.empty() ? 0u : 1u);
        if (names.empty()) continue;
        EXPECT_TRUE(names[0].starts_with(c.leftPrefix)) << names[0];
        EXPECT_TRUE(holds(library / names[0], original.substr(0, c.copied)));
        EXPECT_TRUE(c.leftPrefix != kept || *error == VerifiedCopyError::keptCopy((library / names[0]).string(), checksum));
        fs::remove(library / names[0]);
    }
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
