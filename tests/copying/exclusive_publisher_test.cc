#include "LibraryBundle/copying/exclusive_publisher.h"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "copying/copying_test_support.h"
#include "platform/file_io.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Step = ExclusivePublisher::Step;
using Refusals = std::map<Step, int>;

const std::string kName = "IMG_0001.CR3";
const Refusals kNoRenameNoLink{{Step::exclusiveRename, ENOTSUP}, {Step::hardLink, ENOTSUP}};

// A finished file under its temporary name, published as kName in the same folder by run() through
// the open-folder form, as copies publish (the path form is swept below).
struct Publication {
    TempDir dir;
    fs::path temporary = dir.writeFile(".brightloft-copy-1", "finished");
    fs::path destination = dir / kName;
    platform::UniqueFd folder = platform::openDirectory(dir.path());
    std::vector<Step> attempted;
    std::function<platform::VolumeFacts(const fs::path&)> volume;  // the platform's answers unless set

    ExclusivePublisher publisher(Refusals refusals, std::function<void(Step)> alsoOnAttempt = {}) {
        ExclusivePublisher publisher(std::move(refusals), [this, alsoOnAttempt](Step step) {
            attempted.push_back(step);
            if (alsoOnAttempt) alsoOnAttempt(step);
        });
        publisher.volumeFactsForTesting = volume;
        return publisher;
    }
    Step run(Refusals refusals, std::function<void(Step)> alsoOnAttempt = {}) {
        return publisher(std::move(refusals), std::move(alsoOnAttempt)).publish(temporary.filename().string(), kName, folder, dir.path());
    }
};

TEST(FilePublishError, MessagesWordForWord) {
    // \u escapes take exactly four digits, so "\u201CCard" is “Card”.
    const std::pair<FilePublishError, const char*> cases[] = {
        {FilePublishError::destinationExists(kName), "\u201CIMG_0001.CR3\u201D already exists at the destination. It was not replaced."},
        {FilePublishError::refused(kName, "Card", Step::claimName, EACCES),
         "\u201CIMG_0001.CR3\u201D couldn\u2019t be published on \u201CCard\u201D (Permission denied)."},
        {FilePublishError::refused(kName, std::nullopt, Step::hardLink, EIO),
         "\u201CIMG_0001.CR3\u201D couldn\u2019t be published on its drive (Input/output error)."},
        {FilePublishError::refused(kName, "Card", Step::synchronizeFolder, EIO),
         "\u201CIMG_0001.CR3\u201D was published on \u201CCard\u201D, but the drive couldn\u2019t confirm it was saved "
         "(Input/output error)."}};
    for (const auto& [error, message] : cases) EXPECT_STREQ(error.what(), message);
}

// Each route is tried in turn, only when the one before is unsupported (the outcome names the step
// that decided); that none replaces a name is swept below.
TEST(ExclusivePublisher, TriesEachRouteInTurn) {
    const std::pair<Refusals, std::string> cases[] = {
        // refusals, and the step that published or the failure
        {{}, "exclusive rename"},
        {{{Step::exclusiveRename, ENOTSUP}}, "hard link"},
        {{{Step::exclusiveRename, EINVAL}}, "hard link"},
        {kNoRenameNoLink, "replace placeholder"},
        {{{Step::exclusiveRename, ENOSYS}, {Step::hardLink, EPERM}}, "replace placeholder"},
        // EPERM means "no links here" only for hard links; EINVAL from linkat refuses this link.
        {{{Step::exclusiveRename, EPERM}}, "refused exclusive rename EPERM"},
        {{{Step::exclusiveRename, ENOTSUP}, {Step::hardLink, EINVAL}}, "refused hard link EINVAL"}};
    for (const auto& [refusals, expected] : cases) {
        SCOPED_TRACE(expected);
        Publication p;
        const auto temporary = stateOf(p.temporary);
        std::string outcome;
        try {
            outcome = ExclusivePublisher::rawValue(p.run(refusals));
            // The same file object, now only under its final name (a hard link drops the old one).
            EXPECT_EQ(stateOf(p.destination), temporary);
            EXPECT_EQ(namesIn(p.dir.path()), std::vector<std::string>{kName});
        } catch (const FilePublishError& error) {
            outcome = failureOf(std::current_exception());
            outcome.resize(outcome.size() - kName.size() - 1);
            EXPECT_EQ(error.fileName(), kName);
            EXPECT_EQ(stateOf(p.temporary), temporary);
            EXPECT_EQ(namesIn(p.dir.path()), std::vector<std::string>{p.temporary.filename()});
        }
        EXPECT_EQ(outcome, expected);
    }
}

// Only an empty file with the placeholder's own device and inode is renamed over or removed: an
// intruder that took the name between the claim and the replacement stays, even an empty one.
TEST(ExclusivePublisher, APlaceholderSwappedForAnotherFileIsLeftAlone) {
    const Refusals replaceFails{{Step::exclusiveRename, ENOTSUP}, {Step::hardLink, ENOTSUP}, {Step::replacePlaceholder, EIO}};
    const std::tuple<const char*, Refusals, std::string> cases[] = {
        // intruder, refusals, failure
        {"arrived between claim and replace", kNoRenameNoLink, "destinationExists " + kName},
        {"", kNoRenameNoLink, "destinationExists " + kName},
        {"", replaceFails, "refused replace placeholder EIO " + kName}};
    for (const auto& [bytes, refusals, failure] : cases) {
        Publication p;
        const fs::path intruder = p.dir.writeFile("intruder", bytes);
        const auto intruderState = stateOf(intruder);
        EXPECT_EQ(failureOf([&, refusals = refusals] {
                      p.run(refusals, [&](Step step) {
                          if (step == Step::replacePlaceholder) fs::rename(intruder, p.destination);
                      });
                  }),
                  failure);
        EXPECT_EQ(stateOf(p.destination), intruderState) << failure;
        EXPECT_EQ(contentsOf(p.temporary), "finished");
    }
}

// What the volume says about exclusive renaming: no skips it (strict publication is refused
// without trying), yes, unknown or no answer tries it; its name, if any, is the messages' one.
TEST(ExclusivePublisher, TheVolumesAnswerDecidesWhetherExclusiveRenameIsTried) {
    const struct {
        std::optional<bool> supports;
        bool answered;
        long renames;  // attempts of the exclusive rename, publishing and then strictly
    } cases[] = {{false, true, 0}, {true, true, 2}, {std::nullopt, true, 2}, {std::nullopt, false, 2}};
    for (const auto& c : cases) {
        Publication p;
        p.volume = [&](const fs::path& folder) {
            if (!c.answered || folder != p.dir.path()) throw std::system_error(EIO, std::generic_category());
            return platform::VolumeFacts{"vfat", "/media/Card", true, c.supports, "Card"};
        };
        try {
            p.run({{Step::exclusiveRename, ENOTSUP}, {Step::hardLink, EIO}});
            ADD_FAILURE() << "published";
        } catch (const FilePublishError& error) {
            EXPECT_EQ(failureOf(std::current_exception()), "refused hard link EIO " + kName);
            EXPECT_EQ(error.volume(), c.answered ? std::optional<std::string>("Card") : std::nullopt);
        }
        EXPECT_EQ(failureOf([&] {
                      p.publisher({{Step::exclusiveRename, ENOTSUP}})
                          .publishExclusively(p.temporary.filename().string(), kName, p.folder, p.dir.path());
                  }),
                  "refused exclusive rename EOPNOTSUPP " + kName);
        EXPECT_EQ(std::count(p.attempted.begin(), p.attempted.end(), Step::exclusiveRename), c.renames);
    }
}

// One publisher asks about a volume once, however many files it publishes there.
TEST(ExclusivePublisher, AsksAboutEachVolumeOnce) {
    Publication p;
    int asked = 0;
    p.volume = [&](const fs::path&) {
        ++asked;
        return platform::VolumeFacts{"ext4", "/", true, true, std::nullopt};
    };
    const ExclusivePublisher publisher = p.publisher({});
    p.dir.writeFile(".brightloft-copy-2", "another");
    EXPECT_EQ(publisher.publish(p.temporary.filename().string(), kName, p.folder, p.dir.path()), Step::exclusiveRename);
    EXPECT_EQ(publisher.publish(".brightloft-copy-2", "IMG_0002.CR3", p.folder, p.dir.path()), Step::exclusiveRename);
    EXPECT_EQ(asked, 1);
}

// The calls of one step each. A strict publication has no fallback (an unsupported rename is
// refused, as above). A new file is created with mode 0644 or not at all. A folder's flush fails
// only on an error: a refused one is swept below, an unsupported one passes in VerifiedFileCopyFaults.
TEST(ExclusivePublisher, TheOneStepCallsNeverReplaceAnything) {
    Publication p;
    const auto finished = stateOf(p.temporary), taken = stateOf(p.dir.writeFile("taken", "other"));
    auto strictly = [&](const std::string& as) {
        return failureOf([&] { ExclusivePublisher().publishExclusively(p.temporary.filename(), as, p.folder, p.dir.path()); });
    };
    EXPECT_EQ(strictly("taken"), "destinationExists taken");
    EXPECT_EQ(stateOf(p.dir / "taken"), taken);
    EXPECT_EQ(strictly(kName), "");
    EXPECT_EQ(stateOf(p.destination), finished);
    EXPECT_FALSE(fs::exists(p.temporary));

    const mode_t oldMask = ::umask(022);
    platform::UniqueFd fd = ExclusivePublisher().createExclusively("Info.json", p.folder, p.dir.path());
    ::umask(oldMask);
    ASSERT_TRUE(fd.valid());
    platform::writeAll(fd, platform::asBytes("{}"), "write");
    EXPECT_EQ(platform::lstatPath(p.dir / "Info.json")->mode & 07777, 0644u);
    EXPECT_EQ(failureOf([&] { ExclusivePublisher().createExclusively("Info.json", p.folder, p.dir.path()); }),
              "destinationExists Info.json");
    EXPECT_EQ(contentsOf(p.dir / "Info.json"), "{}");
    EXPECT_EQ(failureOf([&] {
                  ExclusivePublisher({{Step::claimName, EACCES}}, {}).createExclusively("b", p.folder, p.dir.path());
              }),
              "refused claim name EACCES b");
    // A simulated success creates nothing and hands back no descriptor.
    EXPECT_FALSE(ExclusivePublisher({{Step::claimName, 0}}, {}).createExclusively("c", p.folder, p.dir.path()).valid());
    EXPECT_EQ(namesIn(p.dir.path()), (std::vector<std::string>{kName, "Info.json", "taken"}));

    // A folder that is not there cannot be flushed, whatever the volume; "gone/" is held by its parent.
    const fs::path gone = p.dir / "gone";
    EXPECT_EQ(failureOf([&] { ExclusivePublisher().synchronizeFolder(gone); }), "refused sync folder ENOENT gone");
    EXPECT_EQ(failureOf([&] { ExclusivePublisher().synchronizeFolder(containing, gone / ""); }), "");
    EXPECT_EQ(failureOf([&] { ExclusivePublisher().synchronizeFolder(containing, gone / kName); }), "refused sync folder ENOENT " + kName);
}

// Each route, with the name free or taken, then the folder's flush, swept with every failing call
// and every power cut: a taken name keeps its file, a free one stays free or holds the finished file.
// The publisher's rules leave two leftovers: after a link, a temporary name that cannot be removed;
// a placeholder whose fstat or check fails, empty, with the finished file under its temporary name.
TEST(ExclusivePublisher, NoFailingCallOrPowerCutReplacesANameOrLeavesItHalfMade) {
    const std::pair<const char*, Refusals> routes[] = {
        {"exclusive rename", {}}, {"hard link", {{Step::exclusiveRename, ENOTSUP}}}, {"placeholder", kNoRenameNoLink}};
    for (const auto& route : routes)
        for (bool taken : {false, true}) {
            SCOPED_TRACE(std::string(route.first) + (taken ? ", name taken" : ""));
            std::optional<Publication> p;
            std::optional<FileState> finished, existing;
            std::string outcome;  // "published", or "destinationExists", which a taken name expects
            const auto prepare = [&] {
                p.emplace();
                if (taken) p->dir.writeFile(kName, "someone else's");
                finished = stateOf(p->temporary);
                existing = stateOf(p->destination);
                outcome.clear();
            };
            const auto publish = [&] {
                const ExclusivePublisher publisher(route.second, {});
                try {
                    publisher.publish(p->temporary, p->destination);
                } catch (const FilePublishError& error) {
                    if (error.kind() != FilePublishError::Case::destinationExists) throw;  // for the sweeps to see
                    outcome = "destinationExists";
                    return;
                }
                publisher.synchronizeFolder(containing, p->destination);
                outcome = "published";
            };
            sweepFaults(prepare, publish, [&](const InjectedFault& fault, std::exception_ptr thrown) {
                SCOPED_TRACE(fault.describe());
                using Call = FaultInjectionFileSystem::Call;
                if (fault.call == Call::stat && !taken && holds(p->destination, "")) {
                    EXPECT_EQ(stateOf(p->temporary), finished);
                    return;
                }
                const std::string failure = failureOf(thrown);
                if (thrown) {
                    EXPECT_TRUE(failure.starts_with("refused ") && failure.ends_with(" " + errnoName(fault.error).substr(6) + " " + kName))
                        << failure;
                } else {
                    EXPECT_EQ(outcome, taken ? "destinationExists" : "published");
                }
                const bool moved = outcome == "published" || failure.starts_with("refused sync folder");
                EXPECT_EQ(stateOf(p->destination), moved ? finished : existing);
                const bool linkedTwice = outcome == "published" && fault.call == Call::unlink && fault.error != EINTR;
                EXPECT_EQ(stateOf(p->temporary), moved && !linkedTwice ? std::nullopt : finished);
                EXPECT_EQ(namesIn(p->dir.path()).size(), (taken ? 2u : 1u) + (linkedTwice ? 1u : 0u));
            });
            sweepPowerCuts(prepare, publish, [&](int calls) {
                SCOPED_TRACE("power lost after " + std::to_string(calls) + " calls");
                if (taken) {
                    EXPECT_EQ(stateOf(p->destination), existing);
                } else if (fs::exists(p->destination)) {
                    EXPECT_TRUE(holds(p->destination, "finished"));
                } else {
                    EXPECT_NE(outcome, "published");
                }
                EXPECT_TRUE(holds(p->temporary, "finished") || holds(p->destination, "finished"));
            });
        }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
