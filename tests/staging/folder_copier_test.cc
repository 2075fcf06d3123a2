// Running folder copy jobs: each file copied once and verified, duplicates recognised, free
// names found, the ledger trusted on a rerun only where the copies are unchanged, downloads moved
// rather than copied, and a run killed at any moment finished by the next without a second copy.
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/staging/camera_download_ledger.h"
#include "LibraryBundle/staging/folder_copier.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;

std::string shaOf(std::string_view text) { return platform::Sha256::hexOf(platform::asBytes(text)); }

std::vector<std::string> sourcesOf(const std::vector<FolderCopyLedger::Entry>& entries) {
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(fs::path(entry.source).filename().string());
    return names;
}

struct Import : TempDir {
    fs::path card = makeFolder("card"), masters = makeFolder("Masters"), jobFolder = makeFolder("job");
    VerifiedFileCopy copier;
    std::vector<std::int64_t> totals;

    FolderCopyJob job(const std::vector<std::pair<std::string, std::string>>& files) const {
        FolderCopyJob job{platform::Uuid::random(), masters.string(), {}, {}, {}, {}, {}};
        for (const auto& [name, bytes] : files) {
            writeFile(card / name, bytes);
            job.copies.push_back({(card / name).string(), name, static_cast<std::int64_t>(bytes.size())});
        }
        return job;
    }
    FolderCopyOutcome run(
        const FolderCopyJob& job, const Host::IsHeld& isHeld = [](const std::string&) { return false; }, const std::stop_token& stop = {}) {
        totals.clear();
        return FolderCopier(job, jobFolder, copier)
            .run(
                isHeld, [&](std::int64_t total) { totals.push_back(total); }, stop);
    }
};

TEST(FolderCopier, CopiesOnceAndRecognisesWhatIsAlreadyThere) {
    Import s;
    s.writeFile(s.masters / "d.jpg", "another picture");
    s.writeFile(s.masters / "e.jpg", "E");  // identical, not made by this job
    s.writeFile(s.masters / "f.jpg", "F");  // identical and held by the library
    s.writeFile(s.masters / ".brightloft-copy-0F1C9B7E", "half");
    s.makeFolder(s.masters / ".brightloft-copy-folder");
    const FolderCopyJob job =
        s.job({{"a.jpg", "A"}, {"b.jpg", "B"}, {"c.jpg", "A"}, {"d.jpg", "D"}, {"e.jpg", "E"}, {"f.jpg", "F"}, {"h.jpg", "H"}});
    const auto held = [](const std::string& sha) { return sha == shaOf("H") || sha == shaOf("F"); };
    const FolderCopyOutcome outcome = s.run(job, held);

    EXPECT_EQ(sourcesOf(outcome.copied), (std::vector<std::string>{"a.jpg", "b.jpg", "d.jpg", "e.jpg"}));
    EXPECT_EQ(sourcesOf(outcome.duplicates), (std::vector<std::string>{"c.jpg", "f.jpg", "h.jpg"}));
    EXPECT_TRUE(outcome.failures.empty());
    EXPECT_EQ(outcome.copied[2].destination, (s.masters / "d-1.jpg").string());
    EXPECT_EQ(std::tuple(outcome.copied[3].destination, outcome.copied[3].owned), std::tuple((s.masters / "e.jpg").string(), false));
    EXPECT_EQ(outcome.copied[0].sha256, shaOf("A"));
    // Duplicates made by this job are gone again; the one it found there stays. So do the half
    // copy's namesake folder and what the job did not make.
    EXPECT_EQ(namesIn(s.masters),
              (std::vector<std::string>{".brightloft-copy-folder", "a.jpg", "b.jpg", "d-1.jpg", "d.jpg", "e.jpg", "f.jpg"}));
    EXPECT_EQ(contentsOf(s.masters / "d.jpg"), "another picture");
    EXPECT_EQ(s.totals, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7}));

    // A rerun trusts the ledger: nothing copied, no progress, the same outcome.
    EXPECT_EQ(s.run(job, held), outcome);
    EXPECT_TRUE(s.totals.empty());
    // A copy changed since is made again, under a free name.
    s.writeFile(s.masters / "b.jpg", "changed");
    const FolderCopyOutcome again = s.run(job, held);
    EXPECT_EQ(again.copied[1].destination, (s.masters / "b-1.jpg").string());
    EXPECT_EQ(s.totals, (std::vector<std::int64_t>{2}));  // told only for the file copied, with all before it
}

// Two sources with one name and the same bytes: the second finds the first's copy under its
// claimed name, but that copy is recorded as the first's and is never deleted as the second's.
TEST(FolderCopier, NeverTakesAnotherSourcesCopyForItsOwn) {
    Import s;
    FolderCopyJob job = s.job({{"100/IMG_1.JPG", "same"}, {"101/IMG_1.JPG", "same"}});
    for (auto& copy : job.copies) copy.relativePath = "IMG_1.JPG";
    for (int run = 0; run < 2; ++run) {
        const FolderCopyOutcome outcome = s.run(job);
        EXPECT_EQ(outcome.copied.size(), 1u);
        ASSERT_EQ(outcome.duplicates.size(), 1u);
        EXPECT_FALSE(outcome.duplicates[0].owned);
        EXPECT_EQ(contentsOf(s.masters / "IMG_1.JPG"), "same");
    }
}

TEST(FolderCopier, KeepsFilesWhoseHeldCheckFailsAndSummarisesFailures) {
    Import s;
    FolderCopyJob job = s.job({{"a.jpg", "A"}, {"b.jpg", "B"}});
    for (const char* name : {"x.jpg", "y.jpg", "z.jpg"}) job.copies.push_back({(s.card / "missing.jpg").string(), name, 1});
    job.copies.push_back({(s.card / "a.jpg").string(), "../outside.jpg", 1});
    const FolderCopyOutcome outcome = s.run(job, [](const std::string&) -> bool { throw std::runtime_error("offline"); });
    EXPECT_EQ(sourcesOf(outcome.copied), (std::vector<std::string>{"a.jpg", "b.jpg"}));
    EXPECT_EQ(outcome.unheldChecks, 2);
    ASSERT_EQ(outcome.failures.size(), 4u);
    EXPECT_EQ(outcome.failures[3],
              (FolderCopyOutcome::Failure{(s.card / "a.jpg").string(), VerifiedCopyError::unsafePath("../outside.jpg").what()}));
    const std::vector<std::string> reasons = outcome.failureReasons();
    ASSERT_EQ(reasons.size(), 2u);
    EXPECT_EQ(reasons[0], outcome.failures[0].reason + " (3 files)");
    EXPECT_FALSE(fs::exists(s.path() / "outside.jpg"));
    EXPECT_EQ(s.totals.back(), 6);
}

TEST(FolderCopier, ACancelledRunKeepsWhatItFinished) {
    Import s;
    const FolderCopyJob job = s.job({{"a.jpg", "A"}, {"b.jpg", "B"}, {"c.jpg", "C"}});
    std::stop_source stop;
    int checks = 0;
    EXPECT_EQ(failureOf([&] {
                  s.run(
                      job,
                      [&](const std::string&) {
                          if (++checks == 2) stop.request_stop();
                          return false;
                      },
                      stop.get_token());
              }),
              "cancelled");
    EXPECT_EQ(FolderCopyLedger(s.jobFolder).entries().size(), 2u);  // the second was recorded before the check
    const FolderCopyOutcome outcome = s.run(job);
    EXPECT_EQ(sourcesOf(outcome.copied), (std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg"}));
    EXPECT_EQ(s.totals, (std::vector<std::int64_t>{3}));
    EXPECT_EQ(namesIn(s.masters), (std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg"}));
}

// Landed downloads are moved, not copied, with the checksum their ledger recorded; one changed
// since it landed is copied and stays where it is.
TEST(FolderCopier, MovesUnchangedDownloadsAndCopiesChangedOnes) {
    Import s;
    const fs::path downloads = s.makeFolder("downloads/0F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F");
    const CameraDownloadLedger ledger(downloads);
    for (const char* name : {"IMG_1.JPG", "IMG_2.JPG"})
        ledger.land(s.writeFile(downloads / (std::string(".downloading-") + name), std::string("bytes of ") + name), downloads / name);
    s.writeFile(downloads / "IMG_2.JPG", "bytes of IMG_2.JPG, edited");
    FolderCopyJob job{platform::Uuid::random(), s.masters.string(), {}, {}, {}, {}, {}};
    for (const char* name : {"IMG_1.JPG", "IMG_2.JPG"})
        job.copies.push_back({(downloads / name).string(), name, static_cast<std::int64_t>(fs::file_size(downloads / name))});
    const FolderCopyOutcome outcome = s.run(job.moving(downloads));
    EXPECT_EQ(sourcesOf(outcome.copied), (std::vector<std::string>{"IMG_1.JPG", "IMG_2.JPG"}));
    EXPECT_FALSE(fs::exists(downloads / "IMG_1.JPG"));
    EXPECT_EQ(contentsOf(s.masters / "IMG_1.JPG"), "bytes of IMG_1.JPG");
    EXPECT_EQ(outcome.copied[0].sha256, shaOf("bytes of IMG_1.JPG"));
    EXPECT_EQ(contentsOf(downloads / "IMG_2.JPG"), "bytes of IMG_2.JPG, edited");
    EXPECT_EQ(contentsOf(s.masters / "IMG_2.JPG"), "bytes of IMG_2.JPG, edited");
}

TEST(FolderCopier, NamesAndReasons) {
    // clang-format off
    const std::tuple<std::string, int, std::string> names[] = {
        {"IMG_0001.JPG", 0, "IMG_0001.JPG"}, {"IMG_0001.JPG", 2, "IMG_0001-2.JPG"}, {"archive.tar.gz", 1, "archive-1.tar.gz"},
        {"README", 1, "README-1"}, {".profile", 1, ".profile-1"}, {"a.jpg", -1, "a.jpg"}};
    // clang-format on
    for (const auto& [name, n, expected] : names) EXPECT_EQ(FolderCopier::suffixed(name, n), expected);
    const auto reasonOf = [](const std::string& outer, const std::string& inner) {
        try {
            try {
                throw std::runtime_error(inner);
            } catch (...) {
                std::throw_with_nested(std::runtime_error(outer));
            }
        } catch (...) {
            return FolderCopier::reason(std::current_exception());
        }
        return std::string();
    };
    EXPECT_EQ(reasonOf("The copy failed.", "disk full"), "The copy failed. (disk full)");
    EXPECT_EQ(reasonOf("The copy failed: disk full", "disk full"), "The copy failed: disk full");
}

// Each round a child runs the job until killed at a random moment; the next round resumes it.
// Once a run completes, every file is in the destination exactly once, whole, and nothing half
// written or copied twice is left.
TEST(FolderCopier, AKilledRunIsFinishedByTheNextWithoutSecondCopies) {
    Import s;
    std::vector<std::pair<std::string, std::string>> files;
    std::mt19937 random(20261206);
    for (int i = 0; i < 40; ++i)
        files.emplace_back("IMG_" + std::to_string(1000 + i) + ".JPG", std::string(100'000 + i * 997, 'a' + i % 26));
    const FolderCopyJob job = s.job(files);
    std::uniform_int_distribution<useconds_t> delay(0, 40'000);
    for (int round = 0; round < 12; ++round) {
        const pid_t child =
            forkRunning([&] { FolderCopier(job, s.jobFolder, s.copier).run([](const std::string&) { return false; }, {}); });
        ::usleep(delay(random));
        ::kill(child, SIGKILL);
        waitFor(child);
    }
    const FolderCopyOutcome outcome = s.run(job);
    EXPECT_EQ(outcome.copied.size(), files.size());
    EXPECT_TRUE(outcome.failures.empty() && outcome.duplicates.empty());
    std::vector<std::string> expected;
    for (const auto& [name, bytes] : files) {
        expected.push_back(name);
        EXPECT_EQ(contentsOf(s.masters / name), bytes) << name;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(s.masters), expected);
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
