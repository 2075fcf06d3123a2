// Camera download folders: where they are, what they hold, and a ledger that lets a landed file
// be trusted, recognised after a rename and deleted only once the library holds its bytes, also
// after the downloader was killed at a random moment.
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/maintenance/staging_deletion.h"
#include "LibraryBundle/staging/camera_download.h"
#include "LibraryBundle/staging/camera_download_area.h"
#include "LibraryBundle/staging/camera_download_ledger.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Ledger = CameraDownloadLedger;
using Survey = CameraDownloadArea::Survey;

const char* const kUuid = "0F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F";

std::string shaOf(std::string_view text) { return platform::Sha256::hexOf(platform::asBytes(text)); }

// The catalogue's record of a file in the library; the same every time it is asked for.
StagingDeletion::LibraryFile libraryFile(const std::string& path) {
    return {*platform::Uuid::parse(kUuid), StagingDeletion::LibraryFile::Managed{path}};
}

std::vector<std::string> keysOf(const std::map<std::string, Ledger::Entry>& entries) {
    std::vector<std::string> keys;
    for (const auto& [key, entry] : entries) keys.push_back(key);
    return keys;
}

TEST(CameraDownloadArea, FindsTheDownloadFolderOfAFileOnlyInsideAUuidFolder) {
    const fs::path library = "/Volumes/Photos/Trip.oakenmere", area = library / "Staging/CameraDownloads";
    const std::pair<fs::path, std::optional<fs::path>> cases[] = {
        {area / kUuid / "IMG_1.JPG", area / kUuid},
        {area / kUuid / "DCIM/100CANON/IMG_1.JPG", area / kUuid},
        {area / kUuid / "sub/../IMG_1.JPG", area / kUuid},
        {area / "IMG_1.JPG", std::nullopt},
        {area / kUuid, std::nullopt},
        {area / "not-a-uuid/IMG_1.JPG", std::nullopt},
        {area / kUuid / "../IMG_1.JPG", std::nullopt},
        {area / kUuid / "../../FolderCopies" / kUuid / "x", std::nullopt},
        {library / "Staging/CameraDownloadsX" / kUuid / "x", std::nullopt},
        {"/elsewhere" / fs::path(kUuid) / "IMG_1.JPG", std::nullopt},
    };
    for (const auto& [file, folder] : cases) EXPECT_EQ(CameraDownloadArea::folder(file, library), folder) << file;
    EXPECT_TRUE(CameraDownloadArea::isPartial("/a/.downloading-IMG_1.JPG"));
    EXPECT_FALSE(CameraDownloadArea::isPartial("/a/.downloading-/IMG_1.JPG"));
}

TEST(CameraDownloadArea, MakesListsAndRemovesDownloadFolders) {
    TempDir dir;
    const fs::path library = dir.makeFolder("Trip.oakenmere");
    EXPECT_TRUE(CameraDownloadArea::folders(library).empty());
    const fs::path a = CameraDownloadArea::newFolder(library), b = CameraDownloadArea::newFolder(library);
    dir.makeFolder("Trip.oakenmere/Staging/CameraDownloads/not-a-uuid");
    std::vector<fs::path> expected{a, b};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(CameraDownloadArea::folders(library), expected);

    // Beside an import destination: the holder stays until its last download folder is gone.
    const fs::path destination = dir.makeFolder("Pictures"), beside = CameraDownloadArea::newFolder(besideCopiesIn, destination);
    EXPECT_EQ(beside.parent_path(), destination / ".oakenmere-camera-downloads");
    CameraDownloadArea::removeEmptyHolder(destination);
    EXPECT_TRUE(fs::exists(beside));
    EXPECT_TRUE(Ledger(beside).removeIfEmpty());
    CameraDownloadArea::removeEmptyHolder(destination);
    EXPECT_FALSE(fs::exists(destination / ".oakenmere-camera-downloads"));

    // A link in the area's place: nothing is listed and nothing is made through it.
    TempDir other;
    const fs::path linked = dir.makeFolder("Linked.oakenmere/Staging");
    dir.makeSymlink(other.path(), "Linked.oakenmere/Staging/CameraDownloads");
    other.makeFolder(kUuid);
    EXPECT_TRUE(CameraDownloadArea::folders(linked.parent_path()).empty());
    EXPECT_EQ(failureOf([&] { CameraDownloadArea::newFolder(linked.parent_path()); }),
              "unsafePath " + (linked / "CameraDownloads").string());
    EXPECT_EQ(namesIn(other.path()), std::vector<std::string>{kUuid});
}

TEST(CameraDownloadArea, SurveysRegularFilesOnlySplitByPartialName) {
    TempDir dir;
    const fs::path folder = dir.makeFolder("download");
    dir.writeFile("download/IMG_2.JPG", "two");
    dir.writeFile("download/DCIM/IMG_1.JPG", "one");
    dir.writeFile("download/.downloading-IMG_3.JPG", "thr");
    dir.writeFile("download/.landed.jsonl", "");
    dir.writeFile("download/DCIM/.landed.jsonl", "a file like any other below the top");
    dir.makeSymlink(folder / "IMG_2.JPG", "download/link.JPG");
    dir.makeSymlink(dir.makeFolder("elsewhere"), "download/linked-folder");
    dir.writeFile("elsewhere/hidden.JPG", "not ours");
    const std::string f = folder.string();
    EXPECT_EQ(CameraDownloadArea::survey(folder / "DCIM/.."),
              (Survey{{f + "/DCIM/.landed.jsonl", f + "/DCIM/IMG_1.JPG", f + "/IMG_2.JPG"}, {f + "/.downloading-IMG_3.JPG"}}));
    EXPECT_EQ(failureOf([&] { CameraDownloadArea::survey(dir / "download/linked-folder"); }),
              "unsafePath " + (folder / "linked-folder").string());
    EXPECT_EQ(failureOf([&] { CameraDownloadArea::survey(dir / "missing"); }), "errno EIO");
}

struct Download : TempDir {
    fs::path folder = makeFolder("Trip.oakenmere/Staging/CameraDownloads/" + std::string(kUuid));
    int flushes = 0;
    Ledger ledger{folder, [this](int fd) {
                      ++flushes;
                      Ledger::fullSynchronize(fd);
                  }};
    fs::path partial(const std::string& name, std::string_view bytes) const {
        return writeFile(folder / CameraDownloadArea::partialName(name), bytes);
    }
    std::string ledgerText() const { return contentsOf(folder / Ledger::fileName); }
};

TEST(CameraDownloadLedger, LandsWithoutReplacingAndRecognisesTheFileAfterARename) {
    Download d;
    const Ledger::Entry entry = d.ledger.land(d.partial("IMG_1.JPG", "first picture"), d.folder / "IMG_1.JPG");
    EXPECT_EQ(entry.path, "IMG_1.JPG");
    EXPECT_EQ(entry.sha256, shaOf("first picture"));
    EXPECT_EQ(entry.size, 13);
    EXPECT_EQ(entry.identity(), SourceIdentity::capture(d.folder / "IMG_1.JPG"));
    EXPECT_EQ(d.flushes, 0);  // the downloader flushed it before landing
    EXPECT_EQ(d.ledger.entries(), (std::map<std::string, Ledger::Entry>{{(d.folder / "IMG_1.JPG").string(), entry}}));
    // The keys stand in their fixed order, not sorted.
    EXPECT_TRUE(d.ledgerText().starts_with("{\"path\":\"IMG_1.JPG\",\"sha256\":\"" + entry.sha256 + "\",\"size\":13,\"device\":"))
        << d.ledgerText();
    // Another writer's capitals are read in lower case.
    std::string shouted = d.ledgerText(), capitals = entry.sha256;
    for (char& c : capitals) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    d.writeFile(d.folder / Ledger::fileName, shouted.replace(shouted.find(entry.sha256), 64, capitals));
    EXPECT_EQ(d.ledger.entries().at((d.folder / "IMG_1.JPG").string()), entry);

    const fs::path second = d.partial("IMG_1.JPG", "another picture");
    EXPECT_EQ(failureOf([&] { d.ledger.land(second, d.folder / "IMG_1.JPG"); }), "destinationConflict");
    EXPECT_EQ(contentsOf(d.folder / "IMG_1.JPG"), "first picture");
    EXPECT_EQ(contentsOf(second), "another picture");

    fs::rename(d.folder / "IMG_1.JPG", d.folder / "renamed.JPG");
    EXPECT_TRUE(entry.matchesRenamed(d.folder / "renamed.JPG"));
    EXPECT_FALSE(entry.matches(d.folder / "renamed.JPG"));
    EXPECT_FALSE(entry.matchesRenamed(d.folder / "IMG_1.JPG"));
}

TEST(CameraDownloadLedger, ReadsLastWholeEntriesInsideTheFolderOnly) {
    Download d;
    d.writeFile(d.folder / "a.JPG", "a");
    const Ledger::Entry a = d.ledger.record(d.folder / "a.JPG", false);
    Ledger::Entry outside = a, absolute = a, later = a;
    outside.path = "../a.JPG";
    absolute.path = (d.folder / "a.JPG").string();
    later.sha256 = shaOf("later");
    const std::string torn = a.encodeJSON().substr(0, 40);
    d.writeFile(d.folder / Ledger::fileName, outside.encodeJSON() + "\n" + absolute.encodeJSON() + "\n\nnot json\n{\"path\":\"a.JPG\"}\n" +
                                                 a.encodeJSON() + "\n" + later.encodeJSON() + "\n" + torn);
    EXPECT_EQ(d.ledger.entries(), (std::map<std::string, Ledger::Entry>{{(d.folder / "a.JPG").string(), later}}));
    // The next record closes the torn line off: both stand on lines of their own.
    const Ledger::Entry again = d.ledger.record(d.folder / "a.JPG", true);
    EXPECT_EQ(d.flushes, 1);
    EXPECT_TRUE(d.ledgerText().ends_with("\n" + torn + "\n" + again.encodeJSON() + "\n"));
    EXPECT_EQ(d.ledger.entries().at((d.folder / "a.JPG").string()), again);

    // Larger than 64 MiB: refused whole, never half read.
    platform::UniqueFd big = platform::openPath(d.folder / Ledger::fileName, O_WRONLY);
    ASSERT_EQ(::ftruncate(big.get(), Ledger::maximumBytes + 1), 0);
    EXPECT_EQ(failureOf([&] { d.ledger.entries(); }), "tooLarge");
}

TEST(CameraDownloadLedger, RecordsOnlyFilesInsideTheFolderNeverThroughALink) {
    Download d;
    TempDir other;
    other.writeFile("DCIM/IMG_9.JPG", "outside");
    d.makeSymlink(other / "DCIM", d.folder / "DCIM");
    d.writeFile("Trip.oakenmere/Staging/next.JPG", "beside");
    d.makeSymlink(other / "DCIM/IMG_9.JPG", d.folder / "IMG_9.JPG");
    for (const fs::path& file : {d.folder / "DCIM/IMG_9.JPG", d.folder / "../next.JPG", fs::path(d.folder / "IMG_9.JPG")})
        EXPECT_TRUE(failureOf([&] { d.ledger.record(file, false); }).starts_with("unsafePath")) << file;
    EXPECT_EQ(d.ledgerText(), "");
}

// The file a crash left unrecorded, or one changed since, is hashed and recorded; a file whose
// entry still describes it is trusted without being read; a partial file is never recorded.
// A download lands under its own name with the camera's time, flushed and recorded; one that
// fails, is refused or meets a landed name leaves no partial file, and nothing is written
// outside the folder.
TEST(CameraDownload, LandsWithTheCameraTimeOrLeavesNothing) {
    Download d;
    const auto writing = [](std::string_view bytes) {
        return [bytes](const platform::UniqueFd& file) { platform::writeAll(file, platform::asBytes(bytes), "write"); };
    };
    const Ledger::Entry entry =
        CameraDownload::download(d.ledger, "DCIM/100CANON/IMG_1.CR2", CameraDownload::Time{1'600'000'000, 5}, writing("raw bytes"));
    const fs::path landed = d.folder / "DCIM/100CANON/IMG_1.CR2";
    EXPECT_EQ(entry, d.ledger.entries().at(landed.string()));
    EXPECT_EQ(entry.sha256, shaOf("raw bytes"));
    EXPECT_EQ(entry.modifiedSeconds, 1'600'000'000);
    EXPECT_EQ(entry.modifiedNanoseconds, 5);
    EXPECT_EQ(d.flushes, 1);

    const auto failing = [](const platform::UniqueFd& file) {
        platform::writeAll(file, platform::asBytes(std::string_view("half")), "write");
        throw std::system_error(EIO, std::generic_category());
    };
    EXPECT_EQ(failureOf([&] { CameraDownload::download(d.ledger, "DCIM/100CANON/IMG_2.JPG", std::nullopt, failing); }), "errno EIO");
    EXPECT_EQ(failureOf([&] { CameraDownload::download(d.ledger, "DCIM/100CANON/IMG_1.CR2", std::nullopt, writing("other")); }),
              "destinationConflict");
    EXPECT_EQ(contentsOf(landed), "raw bytes");
    for (const char* unsafe : {"../IMG_3.JPG", "/IMG_3.JPG", "DCIM/../../IMG_3.JPG", "", ".landed.jsonl", "DCIM/.downloading-IMG_3.JPG"})
        EXPECT_EQ(failureOf([&] { CameraDownload::download(d.ledger, unsafe, std::nullopt, writing("x")); }),
                  "unsafePath " + std::string(unsafe));
    EXPECT_EQ(failureOf([&] { CameraDownload::download(d.ledger, "IMG_\xff.JPG", std::nullopt, writing("x")); }),
              "\u201CIMG_\\xFF.JPG\u201D is not a UTF-8 name, which the ledger cannot record.");
    fs::create_directory_symlink(d.path(), d.folder / "DCIM/link");
    EXPECT_EQ(failureOf([&] { CameraDownload::download(d.ledger, "DCIM/link/IMG_4.JPG", std::nullopt, writing("x")); }).substr(0, 10),
              "unsafePath");
    EXPECT_EQ(CameraDownloadArea::survey(d.folder), (Survey{{landed.string()}, {}}));
    EXPECT_EQ(namesIn(d.path()), (std::vector<std::string>{"Trip.oakenmere"}));
    EXPECT_EQ(d.ledger.entries().size(), 1u);
}

// What a killed download left is made ready to import: a file landed but not recorded is
// recorded, a partial file removed.
TEST(CameraDownload, SettlingAnInterruptedFolderKeepsOnlyLandedFiles) {
    Download d;
    const Ledger::Entry recorded = d.ledger.land(d.partial("IMG_1.JPG", "one"), d.folder / "IMG_1.JPG");
    d.writeFile(d.folder / "DCIM/IMG_2.JPG", "renamed, then killed");
    const fs::path partial = d.partial("IMG_3.JPG", "half");
    const fs::path placeholder = d.writeFile(d.folder / "IMG_3.JPG", "");
    const auto landed = CameraDownload::settleInterrupted(d.ledger);
    ASSERT_EQ(landed.size(), 2u);
    EXPECT_EQ(landed[0].path, "DCIM/IMG_2.JPG");
    EXPECT_EQ(landed[1], recorded);
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_FALSE(fs::exists(placeholder));
    EXPECT_EQ(d.ledger.entries().size(), 2u);
}

TEST(CameraDownloadLedger, RecordingUnlistedMendsWhatACrashLeft) {
    Download d;
    const Ledger::Entry kept = d.ledger.land(d.partial("kept.JPG", "kept"), d.folder / "kept.JPG");
    const Ledger::Entry changed = d.ledger.land(d.partial("changed.JPG", "changed"), d.folder / "changed.JPG");
    d.writeFile(d.folder / "changed.JPG", "changed since");
    d.writeFile(d.folder / "DCIM/unlisted.JPG", "crashed before its record");
    d.writeFile(d.folder / "caf\xE9.JPG", "a name the ledger cannot hold");
    d.partial("busy.JPG", "half");
    {
        std::stop_source stop;
        stop.request_stop();
        EXPECT_EQ(failureOf([&] { d.ledger.recordingUnlisted(stop.get_token()); }), "cancelled");
    }
    const auto [entries, survey] = d.ledger.recordingUnlisted();
    EXPECT_EQ(survey, CameraDownloadArea::survey(d.folder));
    const std::string f = d.folder.string();
    EXPECT_EQ(keysOf(entries), (std::vector<std::string>{f + "/DCIM/unlisted.JPG", f + "/changed.JPG", f + "/kept.JPG"}));
    EXPECT_EQ(entries.at(f + "/kept.JPG"), kept);
    EXPECT_EQ(entries.at(f + "/changed.JPG").sha256, shaOf("changed since"));
    EXPECT_NE(entries.at(f + "/changed.JPG"), changed);
    EXPECT_EQ(entries.at(f + "/DCIM/unlisted.JPG").path, "DCIM/unlisted.JPG");
    EXPECT_EQ(d.flushes, 2);
    EXPECT_EQ(d.ledger.entries(), entries);

    // A file whose flush fails is not recorded.
    const std::string before = d.ledgerText();
    const Ledger failing(d.folder, [](int) { throw std::system_error(EIO, std::generic_category()); });
    EXPECT_EQ(failureOf([&] { failing.record(d.folder / "kept.JPG", true); }), "errno EIO");
    EXPECT_EQ(d.ledgerText(), before);
}

// Only unchanged landed files the library proves it holds go; the folder goes with the last one,
// nested empty folders first, and never while a partial file is in it.
TEST(CameraDownloadLedger, RemovesSettledFilesThenTheEmptyFolder) {
    Download d;
    const fs::path library = d.path() / "Trip.oakenmere";
    d.writeFile("Trip.oakenmere/Masters/held.JPG", "held");
    d.writeFile("Trip.oakenmere/Masters/changed.JPG", "changed");
    const StagingDeletion deletion(library, false, [&](const std::string& sha) {
        for (const char* name : {"held.JPG", "changed.JPG"})
            if (sha == shaOf(contentsOf(library / "Masters" / name))) return std::vector{libraryFile("Masters/" + std::string(name))};
        return std::vector<StagingDeletion::LibraryFile>{};
    });
    const auto land = [&](const std::string& name, std::string_view bytes) {
        d.makeFolder(d.folder / fs::path(name).parent_path());
        d.ledger.land(
            d.writeFile(d.folder / fs::path(name).parent_path() / CameraDownloadArea::partialName(fs::path(name).filename().string()),
                        bytes),
            d.folder / name);
        return (d.folder / name).string();
    };
    const std::string held = land("DCIM/100/held.JPG", "held"), changed = land("changed.JPG", "changed"),
                      notHeld = land("new.JPG", "not in the library"), notAsked = land("asked-not.JPG", "held");
    d.writeFile(changed, "changed");  // same bytes, new times: no longer the file recorded
    fs::last_write_time(changed, fs::last_write_time(changed) + std::chrono::seconds(1));
    const fs::path busy = d.partial("busy.JPG", "half");

    EXPECT_FALSE(d.ledger.removeSettled({held, changed, notHeld}, deletion));
    EXPECT_FALSE(fs::exists(held));
    for (const std::string& stays : {changed, notHeld, notAsked}) EXPECT_TRUE(fs::exists(stays)) << stays;

    fs::remove(busy);
    EXPECT_FALSE(d.ledger.removeIfEmpty());
    for (const std::string& name : {changed, notHeld, notAsked}) fs::remove(name);
    d.makeFolder(d.folder / "DCIM/101/empty");
    EXPECT_TRUE(d.ledger.removeSettled({}, deletion));
    EXPECT_FALSE(fs::exists(d.folder));
}

TEST(CameraDownloadLedger, RemovesNothingThroughALinkReplacedOrWithAPartialFileLeft) {
    Download d;
    TempDir other;
    const fs::path library = d.path() / "Trip.oakenmere";
    d.writeFile("Trip.oakenmere/Masters/a.JPG", "a");
    int lookups = 0;
    const StagingDeletion deletion(library, false, [&](const std::string&) {
        // While the library's copy is being proven, the downloaded file is replaced by another.
        if (++lookups == 2 && fs::exists(d.folder / "swapped.JPG"))
            fs::rename(d.writeFile(d.folder / "DCIM2/new.JPG", "a"), d.folder / "swapped.JPG");
        return std::vector{libraryFile("Masters/a.JPG")};
    });
    d.ledger.land(d.partial("swapped.JPG", "a"), d.folder / "swapped.JPG");
    EXPECT_FALSE(d.ledger.removeSettled({(d.folder / "swapped.JPG").string()}, deletion));
    EXPECT_TRUE(fs::exists(d.folder / "swapped.JPG"));
    fs::remove(d.folder / "swapped.JPG");
    fs::remove(d.folder / "DCIM2");

    // An entry for DCIM/a.JPG, then DCIM swapped for a link to a folder holding that very file.
    d.ledger.land(d.partial("a.JPG", "a"), d.folder / "a.JPG");
    fs::create_directory(d.folder / "DCIM");
    fs::rename(d.folder / "a.JPG", d.folder / "DCIM/a.JPG");
    Ledger::Entry moved = d.ledger.record(d.folder / "DCIM/a.JPG", false);
    fs::rename(d.folder / "DCIM", other / "DCIM");
    d.makeSymlink(other / "DCIM", d.folder / "DCIM");
    const fs::path partial = d.partial("b.JPG", "b");
    EXPECT_FALSE(d.ledger.removeSettled({(d.folder / "DCIM/a.JPG").string()}, deletion));
    EXPECT_TRUE(moved.matches(other / "DCIM/a.JPG"));
    EXPECT_TRUE(fs::exists(partial));
    EXPECT_FALSE(d.ledger.removeIfEmpty());
    EXPECT_TRUE(fs::exists(d.folder / Ledger::fileName));
}

// Each round a child downloads and lands files until killed; what is left is mended by
// recordingUnlisted: every complete file then has an entry with its true checksum, every landing
// the child reported is there, and no partial file is ever taken for a landed one.
TEST(CameraDownloadLedger, AKilledDownloaderLeavesNothingUntrustedAfterMending) {
    Download d;
    std::mt19937 random(20241206);
    std::uniform_int_distribution<useconds_t> delay(0, 30'000);
    std::vector<std::string> reported;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        platform::UniqueFd reports(ends[0]), reporter(ends[1]);
        const pid_t child = forkRunning([&] {
            for (int n = 0;; ++n) {
                const std::string name = std::to_string(round) + "-" + std::to_string(n) + ".JPG";
                const fs::path partial = d.folder / CameraDownloadArea::partialName(name);
                platform::writeNewFile(platform::openDirectory(d.folder), partial.filename(),
                                       platform::asBytes(std::string(4096 + n, 'a' + n % 26)));
                d.ledger.land(partial, d.folder / name);
                platform::writeAll(reporter, platform::asBytes(name + "\n"), "report");
            }
        });
        reporter.reset();
        ::usleep(delay(random));
        ::kill(child, SIGKILL);
        EXPECT_TRUE(killedBy(waitFor(child), SIGKILL));
        std::string text;
        platform::Bytes block(4096);
        while (std::size_t n = platform::readSome(reports, block)) text.append(block.begin(), block.begin() + static_cast<long>(n));
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            reported.push_back((d.folder / text.substr(start, end - start)).string());

        const auto [entries, survey] = d.ledger.recordingUnlisted();
        for (const std::string& path : survey.complete)
            EXPECT_EQ(entries.count(path) ? entries.at(path).sha256 : "", shaOf(contentsOf(path))) << path;
        for (const std::string& path : reported) EXPECT_TRUE(entries.count(path)) << path;
        for (const auto& [path, entry] : entries) EXPECT_FALSE(CameraDownloadArea::isPartial(path)) << path;
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
