#include "LibraryBundle/copying/VerifiedFileCopy.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>
#include <sys/stat.h>

#include "LibraryBundle/core/Errors.h"
#include "copying/CopyingTestSupport.h"
#include "support/Failure.h"
#include "support/TempDir.h"

namespace LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Checkpoint = VerifiedFileCopy::Checkpoint;

constexpr std::size_t MiB = 1 << 20;
const std::string kConflict = "A different file already exists at the destination. It was not overwritten.";
const std::string kKept = "The file changed or was removed while it was copied. The copy made of it is kept.";
const std::string kSourceChanged = "The source changed during copying. The completed copy was not published.";
const std::string kHashMismatch = "The copied file does not match the recorded source checksum.";
const std::string kSourceMismatch = "The file no longer matches its recorded checksum: it was changed or replaced.";
const std::string kNoBytes = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

class VerifiedFileCopyTest : public ::testing::Test {
protected:
    TempDir dir;
    // More than one block, and not a whole number of them.
    std::string original = patternBytes(3 * MiB + 17, 1);
    fs::path source = dir.writeFile("card/DCIM/IMG_0001.CR3", original);
    fs::path library = dir.makeFolder("library/Masters");
    fs::path destination = library / "IMG_0001.CR3";
    std::string checksum = sha256Of(original);

    std::map<std::string, FileState> everythingIn(const fs::path& folder) const {
        std::map<std::string, FileState> files;
        for (const auto& name : namesIn(folder)) files[name] = *stateOf(folder / name);
        return files;
    }

    // The one file set aside under `prefix`, or a failure.
    fs::path setAside(std::string_view prefix) const {
        auto names = namesStartingWith(library, prefix);
        EXPECT_EQ(names.size(), 1u) << prefix;
        EXPECT_EQ(namesIn(library), names) << "nothing but the set-aside file";
        return names.empty() ? fs::path() : library / names.front();
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
    EXPECT_EQ(VerifiedFileCopy().hash(library / "measured-0"), kNoBytes);
    // Only the copies, no temporary names.
    EXPECT_EQ(namesIn(library).size(), 8u);
    EXPECT_TRUE(namesStartingWith(library, ".").empty());
}

TEST_F(VerifiedFileCopyTest, ADestinationThatAlreadyHoldsTheContentIsLeftAsItIs) {
    dir.writeFile(destination.lexically_relative(dir.path()), original);
    fs::last_write_time(destination, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    auto before = everythingIn(library);
    EXPECT_EQ(VerifiedFileCopy().copy(source, destination, upper(checksum)), destination);
    EXPECT_EQ(everythingIn(library), before);

    // The destination is right but the source no longer is.
    appendTo(source, "edited");
    EXPECT_EQ(failureOf([&] { VerifiedFileCopy().copy(source, destination, checksum); }), kSourceMismatch);
    EXPECT_EQ(everythingIn(library), before);
}

TEST_F(VerifiedFileCopyTest, ConflictsTouchNothing) {
    const struct {
        const char* what;
        std::function<void(const fs::path&)> prepare;
        std::function<void(VerifiedFileCopy&, const fs::path&)> copy;
    } cases[] = {
        {"copy onto other content", [&](const fs::path& to) { std::ofstream(to) << "other"; },
         [&](VerifiedFileCopy& c, const fs::path& to) { c.copy(source, to, checksum); }},
        {"measured copy onto the same content",
         [&](const fs::path& to) { std::ofstream(to, std::ios::binary) << original; },
         [&](VerifiedFileCopy& c, const fs::path& to) { c.copyMeasuring(source, to, std::nullopt); }},
        {"copy onto a folder", [](const fs::path& to) { fs::create_directory(to); },
         [&](VerifiedFileCopy& c, const fs::path& to) { c.copy(source, to, checksum); }},
        {"copy onto a link to the same content", [&](const fs::path& to) { fs::create_symlink(source, to); },
         [&](VerifiedFileCopy& c, const fs::path& to) { c.copy(source, to, checksum); }},
        {"copy onto itself", [](const fs::path&) {},
         [&](VerifiedFileCopy& c, const fs::path&) { c.copy(source, source, checksum); }},
        {"measured copy onto itself, spelt differently", [](const fs::path&) {},
         [&](VerifiedFileCopy& c, const fs::path&) {
             c.copyMeasuring(source, source.parent_path() / "../DCIM/./IMG_0001.CR3", std::nullopt);
         }},
    };
    for (const auto& c : cases) {
        fs::path to = library / c.what;
        c.prepare(to);
        auto before = everythingIn(library);
        auto sourceBefore = everythingIn(source.parent_path());
        VerifiedFileCopy copier;
        EXPECT_EQ(failureOf([&] { c.copy(copier, to); }), kConflict) << c.what;
        EXPECT_EQ(everythingIn(library), before) << c.what;
        EXPECT_EQ(everythingIn(source.parent_path()), sourceBefore) << c.what;
    }
}

TEST_F(VerifiedFileCopyTest, AWrongChecksumIsNeverPublished) {
    for (const std::string& wrong : {sha256Of("something else"), std::string("not a checksum"), std::string()}) {
        EXPECT_EQ(failureOf([&] { VerifiedFileCopy().copy(source, destination, wrong); }), kHashMismatch) << wrong;
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
        {source, libraryLink / "2025/IMG_0001.CR3", "unsafePath " + libraryLink.string()},
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
    EXPECT_EQ(failureOf([&] { VerifiedFileCopy().copyMeasuring(source, destination, inspected); }), kSourceChanged);
    EXPECT_TRUE(namesIn(library).empty());

    EXPECT_EQ(VerifiedFileCopy().copyMeasuring(source, destination, SourceIdentity::capture(source)),
              sha256Of(contentsOf(source)));
}

TEST_F(VerifiedFileCopyTest, ASourceThatChangesAfterTheCopyIsCompleteIsKept) {
    // Appended to, or removed, once the copy has been read back.
    for (bool remove : {false, true}) {
        VerifiedFileCopy copier(
            [remove](const fs::path& from) { remove ? (void)fs::remove(from) : appendTo(from, "late"); });
        try {
            copier.copyMeasuring(source, destination, std::nullopt);
            ADD_FAILURE() << "published";
        } catch (const VerifiedCopyError& error) {
            EXPECT_EQ(error.kind(), VerifiedCopyError::Case::keptCopy);
            EXPECT_STREQ(error.what(), kKept.c_str());
            EXPECT_EQ(error.sha256(), checksum);
            fs::path kept = setAside(VerifiedFileCopy::keptPrefix);
            EXPECT_EQ(error.path(), kept.string());
            EXPECT_EQ(sha256Of(contentsOf(kept)), error.sha256());
            fs::remove(kept);
        }
        std::ofstream(source, std::ios::binary | std::ios::trunc) << original;
    }
}

TEST_F(VerifiedFileCopyTest, ASourceRemovedDuringTheCopyLoopIsStillReadToItsEndAndKept) {
    VerifiedFileCopy copier;
    copier.fault = [&](Checkpoint point) {
        if (point == Checkpoint::wroteBlock && fs::exists(source)) fs::remove(source);
    };
    try {
        copier.copy(source, destination, checksum);
        ADD_FAILURE() << "published";
    } catch (const VerifiedCopyError& error) {
        EXPECT_EQ(error.kind(), VerifiedCopyError::Case::keptCopy);
        EXPECT_EQ(error.sha256(), checksum);
        EXPECT_TRUE(holds(setAside(VerifiedFileCopy::keptPrefix), original));
    }
}

TEST_F(VerifiedFileCopyTest, APartialCopyOfAChangingSourceIsSetAside) {
    VerifiedFileCopy copier;
    copier.fault = [&](Checkpoint point) {
        if (point != Checkpoint::wroteBlock) return;
        appendTo(source, "more");
        throw std::runtime_error("card reader unplugged");
    };
    EXPECT_EQ(failureOf([&] { copier.copyMeasuring(source, destination, std::nullopt); }), "card reader unplugged");
    // The first block made it.
    EXPECT_TRUE(holds(setAside(VerifiedFileCopy::incompletePrefix), original.substr(0, MiB)));
}

TEST_F(VerifiedFileCopyTest, AFailureAfterPublishingLeavesTheCompleteDestination) {
    VerifiedFileCopy copier;
    copier.fault = [](Checkpoint point) {
        if (point == Checkpoint::published) throw std::runtime_error("power lost");
    };
    EXPECT_EQ(failureOf([&] { copier.copyMeasuring(source, destination, std::nullopt); }), "power lost");
    EXPECT_TRUE(holds(destination, original));
    EXPECT_EQ(namesIn(library), std::vector<std::string>{"IMG_0001.CR3"});
}

TEST_F(VerifiedFileCopyTest, ACancelledCopyLeavesNothingBehind) {
    // Cancelling at each checkpoint is covered with the other faults.
    std::stop_source stop;
    stop.request_stop();
    VerifiedFileCopy copier;
    EXPECT_EQ(failureOf([&] { copier.copyMeasuring(source, destination, std::nullopt, stop.get_token()); }), "cancelled");
    EXPECT_EQ(failureOf([&] { copier.copy(source, destination, checksum, stop.get_token()); }), "cancelled");
    EXPECT_EQ(failureOf([&] { copier.hash(source, stop.get_token()); }), "cancelled");
    EXPECT_TRUE(namesIn(library).empty());
}

}  // namespace
}  // namespace LibraryBundle
