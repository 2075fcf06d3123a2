// Every way a copy can fail part-way, at every checkpoint and every publishing step, with the
// destination name free, taken from the start, or taken while the copy runs. Whatever happens,
// the final name holds nothing or the complete source, other files are untouched, and the
// temporary file is gone unless the source changed and it was set aside.
#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <stdexcept>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "copying/copying_test_support.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Checkpoint = VerifiedFileCopy::Checkpoint;
using Step = ExclusivePublisher::Step;

const std::string kName = "IMG_0001.CR3";

enum class Destination { free, taken, takenDuringCopy };
enum class Fault { none, fail, growThenFail, cancel };

struct Scenario {
    std::string name;
    Fault fault = Fault::none;
    Checkpoint at = Checkpoint::wroteBlock;
    std::map<Step, int> refusals;
    std::string failure;  // with the destination free; "" for success
};

const std::pair<Checkpoint, std::string> kCheckpoints[] = {
    {Checkpoint::wroteBlock, "wroteBlock"}, {Checkpoint::wroteCopy, "wroteCopy"}, {Checkpoint::readBack, "readBack"},
    {Checkpoint::beforePublish, "beforePublish"}, {Checkpoint::published, "published"}};

std::vector<Scenario> scenarios() {
    std::vector<Scenario> all;
    for (const auto& [at, name] : kCheckpoints) {
        const std::string failure = "fault at " + name;
        const bool beforePublishing = at != Checkpoint::published;
        // A complete copy of a changed source is kept; once published, the destination is the copy.
        const bool kept = beforePublishing && at != Checkpoint::wroteBlock && at != Checkpoint::wroteCopy;
        // The last look at the cancellation is just before the beforePublish checkpoint.
        const bool cancelled = beforePublishing && at != Checkpoint::beforePublish;
        all.push_back({"fail at " + name, Fault::fail, at, {}, failure});
        all.push_back({"grow then fail at " + name, Fault::growThenFail, at, {}, kept ? "keptCopy" : failure});
        all.push_back({"cancel at " + name, Fault::cancel, at, {}, cancelled ? "cancelled" : ""});
    }
    auto refused = [](Step step, const char* code) {
        return "refused " + std::string(ExclusivePublisher::rawValue(step)) + " " + code + " " + kName;
    };
    const int unsupported = ENOTSUP;
    const Step rename = Step::exclusiveRename, link = Step::hardLink;
    const Scenario refusals[] = {
        {"rename refused", {}, {}, {{rename, EIO}}, refused(rename, "EIO")},
        {"hard link", {}, {}, {{rename, unsupported}}, ""},
        {"placeholder", {}, {}, {{rename, unsupported}, {link, unsupported}}, ""},
        {"replace refused", {}, {}, {{rename, unsupported}, {link, unsupported}, {Step::replacePlaceholder, EIO}},
         refused(Step::replacePlaceholder, "EIO")},
        {"sync refused", {}, {}, {{Step::synchronizeFolder, EIO}}, refused(Step::synchronizeFolder, "EIO")},
        {"sync unsupported", {}, {}, {{Step::synchronizeFolder, unsupported}}, ""},
        // The changed source's complete copy cannot be kept either: it stays under its temporary name.
        {"grow then fail at readBack, keeping refused", Fault::growThenFail, Checkpoint::readBack, {{rename, EIO}},
         "fault at readBack"},
    };
    all.insert(all.end(), std::begin(refusals), std::end(refusals));
    return all;
}

TEST(VerifiedFileCopyFaults, NothingIsLostOrOverwrittenWhereverACopyFails) {
    const std::string original = patternBytes((3 << 20) + 4321, 7);
    const std::string checksum = sha256Of(original);
    for (const Scenario& scenario : scenarios())
        for (Destination destination : {Destination::free, Destination::taken, Destination::takenDuringCopy}) {
            const char* const destinations[] = {"free", "taken", "taken during the copy"};
            SCOPED_TRACE(scenario.name + " / destination " + destinations[static_cast<int>(destination)]);
            TempDir dir;
            const fs::path source = dir.writeFile("card/" + kName, original);
            const fs::path library = dir.makeFolder("library");
            const fs::path target = library / kName;
            const fs::path unrelated = dir.writeFile("library/IMG_0000.CR3", patternBytes(1000, 3));
            const auto unrelatedBefore = stateOf(unrelated);
            std::optional<FileState> other;
            if (destination == Destination::taken) {
                dir.writeFile("library/" + kName, "another photo");
                other = stateOf(target);
            }

            std::stop_source stop;
            VerifiedFileCopy copier{ExclusivePublisher(scenario.refusals, {})};
            copier.fault = [&](Checkpoint point) {
                if (destination == Destination::takenDuringCopy && point == Checkpoint::wroteBlock && !other) {
                    dir.writeFile("library/" + kName, "another photo");
                    other = stateOf(target);
                }
                if (point != scenario.at || scenario.fault == Fault::none) return;
                if (scenario.fault == Fault::cancel) return (void)stop.request_stop();
                if (scenario.fault == Fault::growThenFail) appendTo(source, "more");
                for (const auto& [checkpoint, name] : kCheckpoints)
                    if (checkpoint == point) throw std::runtime_error("fault at " + name);
            };
            std::string returned;
            const std::string failure = failureOf([&] {
                returned = destination == Destination::free
                               ? copier.copyMeasuring(source, target, std::nullopt, stop.get_token())
                               : copier.copy(source, target, checksum, stop.get_token()).string();
            });

            if (destination == Destination::free) {
                EXPECT_EQ(failure, scenario.failure);
                EXPECT_EQ(returned, failure.empty() ? checksum : "");
            } else {
                EXPECT_NE(failure, "");
                EXPECT_TRUE(destination != Destination::taken || failure == "destinationConflict") << failure;
            }
            if (other) {
                EXPECT_EQ(stateOf(target), other) << "the file that had the name is untouched";
            } else {
                // Once published, a later failure leaves the complete destination in place.
                const bool published = failure.empty() || scenario.refusals.contains(Step::synchronizeFolder) ||
                                       (scenario.fault != Fault::none && scenario.at == Checkpoint::published);
                EXPECT_EQ(fs::exists(target), published);
                if (published) {
                    EXPECT_TRUE(holds(target, original));
                }
            }
            EXPECT_EQ(stateOf(unrelated), unrelatedBefore);
            const bool changesSource = scenario.fault == Fault::growThenFail;
            EXPECT_TRUE(changesSource || contentsOf(source) == original);

            // A changed source leaves what was copied of it: the first block at the first block,
            // all of it later; a copy read back whole is kept, an earlier one is incomplete.
            std::vector<std::string> expectedNames{unrelated.filename()};
            if (fs::exists(target)) expectedNames.push_back(kName);
            if (changesSource && destination != Destination::taken && scenario.at != Checkpoint::published) {
                const bool kept = scenario.at == Checkpoint::readBack || scenario.at == Checkpoint::beforePublish;
                const auto prefix = !kept                                       ? VerifiedFileCopy::incompletePrefix
                                    : scenario.refusals.contains(Step::exclusiveRename) ? VerifiedFileCopy::temporaryPrefix
                                                                                  : VerifiedFileCopy::keptPrefix;
                const auto setAside = namesStartingWith(library, prefix);
                ASSERT_EQ(setAside.size(), 1u);
                const std::size_t copied = scenario.at == Checkpoint::wroteBlock ? 1 << 20 : original.size();
                EXPECT_TRUE(holds(library / setAside[0], original.substr(0, copied)));
                expectedNames.push_back(setAside[0]);
            }
            std::sort(expectedNames.begin(), expectedNames.end());
            EXPECT_EQ(namesIn(library), expectedNames) << "nothing else is left behind";
        }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
