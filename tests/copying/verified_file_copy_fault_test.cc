// Every way a copy can fail part-way: each file call it makes failing with each disk error, a
// power cut after any number of calls, a source that changes, a cancellation, each way of
// publishing, and the destination name free, holding the copy already, or taken while the copy
// runs (one taken from the start stops every copy at once, as VerifiedFileCopyTest shows).
// Whatever happens, the final name holds nothing, the file that had it, or the complete source;
// other files are untouched; and the temporary file is gone unless the source changed and it
// was set aside, or the process died.
#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <optional>
#include <stdexcept>
#include <utility>

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

// A source, a neighbour in the library and the destination's name, made afresh before each copy
// and compared with what they were after it.
struct Library {
    TempDir dir;
    const std::string original = patternBytes((2 << 20) + 4321, 7);  // three blocks, the last one short
    const std::string checksum = sha256Of(original);
    const fs::path source = dir.writeFile("card/" + kName, original);
    const fs::path folder = dir / "library", target = folder / kName, neighbour = folder / "IMG_0000.CR3";
    std::optional<FileState> sourceBefore = stateOf(source), neighbourBefore, targetBefore;
    bool sourceGrown = false;

    void prepare(const std::optional<std::string>& atTarget = std::nullopt) {
        if (std::exchange(sourceGrown, false)) sourceBefore = stateOf(dir.writeFile("card/" + kName, original));
        fs::remove_all(folder);
        neighbourBefore = stateOf(dir.writeFile("library/IMG_0000.CR3", patternBytes(1000, 3)));
        targetBefore.reset();
        if (atTarget) takeName(*atTarget);
    }
    void takeName(const std::string& bytes) { targetBefore = stateOf(dir.writeFile("library/" + kName, bytes)); }
    void growSource() {
        appendTo(source, "more");
        sourceGrown = true;
    }
    // The source unchanged unless grown, the neighbour untouched, the destination's name holding
    // the file that had it, or else nothing or the whole copy, and besides them only `names`.
    void expectIntact(std::vector<std::string> names = {}) const {
        EXPECT_TRUE(sourceGrown || stateOf(source) == sourceBefore);
        EXPECT_EQ(stateOf(neighbour), neighbourBefore);
        if (targetBefore) {
            EXPECT_EQ(stateOf(target), targetBefore);
        } else if (fs::exists(target)) {
            EXPECT_TRUE(holds(target, original));
        }
        names.push_back(neighbour.filename());
        if (fs::exists(target)) names.push_back(kName);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(namesIn(folder), names);
    }
};

enum class Fault { none, growThenFail, cancel };

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

// The failing file calls are swept below, wherever they fall; these are the failures they cannot make.
std::vector<Scenario> scenarios() {
    std::vector<Scenario> all;
    for (const auto& [at, name] : kCheckpoints) {
        const bool beforePublishing = at != Checkpoint::published;
        // A complete copy of a changed source is kept; once published, the destination is the copy.
        const bool kept = beforePublishing && at != Checkpoint::wroteBlock && at != Checkpoint::wroteCopy;
        // The last look at the cancellation is just before the beforePublish checkpoint.
        const bool cancelled = beforePublishing && at != Checkpoint::beforePublish;
        all.push_back({"grow then fail at " + name, Fault::growThenFail, at, {}, kept ? "keptCopy" : "fault at " + name});
        all.push_back({"cancel at " + name, Fault::cancel, at, {}, cancelled ? "cancelled" : ""});
    }
    const int unsupported = ENOTSUP;
    const Step rename = Step::exclusiveRename, link = Step::hardLink;
    const Scenario refusals[] = {
        {"hard link", {}, {}, {{rename, unsupported}}, ""},
        {"placeholder", {}, {}, {{rename, unsupported}, {link, unsupported}}, ""},
        {"sync unsupported", {}, {}, {{Step::synchronizeFolder, unsupported}}, ""},
        // The changed source's complete copy cannot be kept either: it stays under its temporary name.
        {"grow then fail at readBack, keeping refused", Fault::growThenFail, Checkpoint::readBack, {{rename, EIO}},
         "fault at readBack"},
    };
    all.insert(all.end(), std::begin(refusals), std::end(refusals));
    return all;
}

TEST(VerifiedFileCopyFaults, NothingIsLostOrOverwrittenWhereverACopyFails) {
    Library library;
    for (const Scenario& scenario : scenarios())
        for (bool takenDuringCopy : {false, true}) {
            SCOPED_TRACE(scenario.name + (takenDuringCopy ? " / name taken during the copy" : ""));
            library.prepare();
            std::stop_source stop;
            VerifiedFileCopy copier{ExclusivePublisher(scenario.refusals, {})};
            copier.fault = [&](Checkpoint point) {
                if (takenDuringCopy && point == Checkpoint::wroteBlock && !library.targetBefore)
                    library.takeName("another photo");
                if (point != scenario.at || scenario.fault == Fault::none) return;
                if (scenario.fault == Fault::cancel) return (void)stop.request_stop();
                library.growSource();
                for (const auto& [checkpoint, name] : kCheckpoints)
                    if (checkpoint == point) throw std::runtime_error("fault at " + name);
            };
            std::string returned;
            const std::string failure = failureOf([&] {
                returned = takenDuringCopy
                               ? copier.copy(library.source, library.target, library.checksum, stop.get_token()).string()
                               : copier.copyMeasuring(library.source, library.target, std::nullopt, stop.get_token());
            });
            if (takenDuringCopy) {
                EXPECT_NE(failure, "");
            } else {
                EXPECT_EQ(failure, scenario.failure);
                EXPECT_EQ(returned, failure.empty() ? library.checksum : "");
                // Once published, a later failure leaves the complete destination in place.
                EXPECT_EQ(fs::exists(library.target),
                          failure.empty() || (scenario.fault != Fault::none && scenario.at == Checkpoint::published));
            }
            // A changed source leaves what was copied of it: the first block at the first block,
            // all of it later; a copy read back whole is kept, an earlier one is incomplete.
            std::vector<std::string> setAside;
            if (library.sourceGrown && scenario.at != Checkpoint::published) {
                const bool kept = scenario.at == Checkpoint::readBack || scenario.at == Checkpoint::beforePublish;
                const auto prefix = !kept                                       ? VerifiedFileCopy::incompletePrefix
                                    : scenario.refusals.contains(Step::exclusiveRename) ? VerifiedFileCopy::temporaryPrefix
                                                                                  : VerifiedFileCopy::keptPrefix;
                setAside = namesStartingWith(library.folder, prefix);
                ASSERT_EQ(setAside.size(), 1u);
                const std::size_t copied = scenario.at == Checkpoint::wroteBlock ? 1 << 20 : library.original.size();
                EXPECT_TRUE(holds(library.folder / setAside[0], library.original.substr(0, copied)));
            }
            library.expectIntact(setAside);
        }
}

// Whichever call fails with whichever error, the copy fails with that error (a POSIX error, or a
// refused publication) or succeeds (a failed hint or tidying costs nothing). The source being
// unchanged, nothing is set aside and no temporary file stays; only a failure after publication
// (the folder's flush) leaves the copy. A power cut after any number of calls leaves the name free
// or holding the whole copy, and holding it if the copy had returned. A destination that holds
// the copy already is flushed and read, so it is swept too.
TEST(VerifiedFileCopyFaults, NoFailingCallOrPowerCutLeavesAPartialCopy) {
    Library library;
    std::string returned;
    for (bool holdsCopy : {false, true}) {
        SCOPED_TRACE(holdsCopy ? "the name holds the copy already" : "the name is free");
        const auto prepare = [&] {
            library.prepare(holdsCopy ? std::optional(library.original) : std::nullopt);
            returned.clear();
        };
        const auto copy = [&] {
            returned = holdsCopy ? VerifiedFileCopy().copy(library.source, library.target, library.checksum).string()
                                 : VerifiedFileCopy().copyMeasuring(library.source, library.target, std::nullopt);
        };
        sweepFaults(prepare, copy, [&](const InjectedFault& fault, std::exception_ptr thrown) {
            SCOPED_TRACE(fault.describe());
            const std::string failure = failureOf(thrown), injected = errnoName(fault.error);
            EXPECT_TRUE(!thrown || failure == injected ||
                        (failure.starts_with("refused ") && failure.ends_with(" " + injected.substr(6) + " " + kName)))
                << failure;
            EXPECT_EQ(returned, thrown ? "" : holdsCopy ? library.target.string() : library.checksum);
            EXPECT_TRUE(thrown || holds(library.target, library.original));
            library.expectIntact();
        });
        sweepPowerCuts(prepare, copy, [&](int calls) {
            SCOPED_TRACE("power lost after " + std::to_string(calls) + " calls");
            EXPECT_TRUE(returned.empty() || fs::exists(library.target));
            library.expectIntact(namesStartingWith(library.folder, VerifiedFileCopy::temporaryPrefix));
        });
    }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
