// Every way a copy can fail part-way: each file call failing with each disk error, a power cut
// after any number of calls, a source that changes or goes, a cancellation, a name taken meanwhile.
// The final name holds nothing, the file that had it, or the complete source; other files are
// untouched; the temporary file is gone unless the source changed and it was set aside.
#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <optional>
#include <stdexcept>
#include <utility>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "LibraryBundle/core/errors.h"
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
    bool sourceChanged = false;

    void prepare(const std::optional<std::string>& atTarget = std::nullopt) {
        if (std::exchange(sourceChanged, false)) sourceBefore = stateOf(dir.writeFile("card/" + kName, original));
        fs::remove_all(folder);
        neighbourBefore = stateOf(dir.writeFile("library/IMG_0000.CR3", patternBytes(1000, 3)));
        targetBefore.reset();
        if (atTarget) takeName(*atTarget);
    }
    void takeName(const std::string& bytes) { targetBefore = stateOf(dir.writeFile("library/" + kName, bytes)); }
    // The source unchanged unless changed, the neighbour untouched, the destination's name holding
    // the file that had it, or else nothing or the whole copy, and besides them only `names`.
    void expectIntact(std::vector<std::string> names = {}) const {
        EXPECT_TRUE(sourceChanged || stateOf(source) == sourceBefore);
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

// What the copy meets at a checkpoint: the source grown and then a failure, the source removed
// (the open file is still read to its end), a cancellation, or the destination's name taken.
enum class Fault { none, growThenFail, remove, cancel, takeName };

// The failing file calls are swept below, wherever they fall; these are the failures they cannot make.
TEST(VerifiedFileCopyFaults, NothingIsLostOrOverwrittenWhereverACopyFails) {
    const std::string_view incomplete = VerifiedFileCopy::incompletePrefix, kept = VerifiedFileCopy::keptPrefix;
    const struct {
        Fault fault;
        Checkpoint at;
        std::string failure;             // "" for success
        std::string_view setAside = {};  // what is left of a changed source: the prefix of its name
        std::map<Step, int> refusals = {};
    } scenarios[] = {
        // What was copied of a changed source is set aside: incomplete until it was read back whole.
        {Fault::growThenFail, Checkpoint::wroteBlock, "fault", incomplete},
        {Fault::growThenFail, Checkpoint::wroteCopy, "fault", incomplete},
        {Fault::growThenFail, Checkpoint::readBack, "keptCopy", kept},
        {Fault::growThenFail, Checkpoint::published, "fault"},  // the destination is the copy
        {Fault::remove, Checkpoint::wroteBlock, "keptCopy", kept},
        {Fault::remove, Checkpoint::readBack, "keptCopy", kept},
        // The last look at the cancellation is just before the beforePublish checkpoint.
        {Fault::cancel, Checkpoint::wroteBlock, "cancelled"},
        {Fault::cancel, Checkpoint::readBack, "cancelled"},
        {Fault::cancel, Checkpoint::beforePublish, ""},
        {Fault::takeName, Checkpoint::wroteCopy, "destinationConflict"},
        {Fault::none, {}, "", {}, {{Step::synchronizeFolder, ENOTSUP}}},  // a volume that cannot flush folders
        // The changed source's complete copy cannot be kept either: it stays under its temporary name.
        {Fault::growThenFail, Checkpoint::readBack, "fault", VerifiedFileCopy::temporaryPrefix, {{Step::exclusiveRename, EIO}}}};
    Library library;
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE("scenario " + std::to_string(&scenario - scenarios));
        library.prepare();
        std::stop_source stop;
        VerifiedFileCopy copier{ExclusivePublisher(scenario.refusals, {})};
        copier.fault = [&](Checkpoint point) {
            if (point != scenario.at || scenario.fault == Fault::none) return;
            if (scenario.fault == Fault::cancel) return (void)stop.request_stop();
            if (scenario.fault == Fault::takeName) return library.takeName("another photo");
            library.sourceChanged = true;
            if (scenario.fault == Fault::remove) return (void)fs::remove(library.source);
            appendTo(library.source, "more");
            throw std::runtime_error("fault");
        };
        std::string returned;
        std::optional<VerifiedCopyError> error;
        EXPECT_EQ(failureOf([&] {
                      try {
                          returned = copier.copyMeasuring(library.source, library.target, std::nullopt, stop.get_token());
                      } catch (const VerifiedCopyError& e) {
                          error = e;
                          throw;
                      }
                  }),
                  scenario.failure);
        EXPECT_EQ(returned, scenario.failure.empty() ? library.checksum : "");
        // Once published, a later failure leaves the complete destination in place; a name taken meanwhile keeps its file.
        EXPECT_EQ(fs::exists(library.target), library.targetBefore || scenario.failure.empty() || scenario.at == Checkpoint::published);
        // A changed source leaves what was copied of it: its first block at the first block, else all of it.
        std::vector<std::string> setAside;
        if (!scenario.setAside.empty()) {
            setAside = namesStartingWith(library.folder, scenario.setAside);
            ASSERT_EQ(setAside.size(), 1u);
            const bool firstBlock = scenario.at == Checkpoint::wroteBlock && scenario.fault != Fault::remove;
            EXPECT_TRUE(holds(library.folder / setAside[0], library.original.substr(0, firstBlock ? 1 << 20 : std::string::npos)));
            // A kept copy is named, with its checksum, by the error.
            const auto keptCopy = VerifiedCopyError::keptCopy((library.folder / setAside[0]).string(), library.checksum);
            EXPECT_TRUE(scenario.setAside != kept || error == keptCopy);
        }
        library.expectIntact(setAside);
    }
    // The read-back hook is shown the source at exactly that moment; a change then keeps the copy aside.
    library.prepare();
    VerifiedFileCopy watching([&](const fs::path& source) { appendTo(source, "more"); });
    EXPECT_EQ(failureOf([&] { watching.copyMeasuring(library.source, library.target, std::nullopt); }), "keptCopy");
    EXPECT_EQ(namesStartingWith(library.folder, kept).size(), 1u);
}

// Any call failing with any disk error fails the copy with that error (or a refusal naming it) or
// costs nothing (a hint, a tidying), and leaves nothing partial or temporary; a power cut leaves the
// name free or holding the whole copy, holding it once copy returned. A name holding the copy is swept too.
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
            // The read-back's own stat calls report a failure as an unsafe path or a conflict, as a changed file would.
            const bool readBackStat = fault.call == FaultInjectionFileSystem::Call::stat &&
                                      (failure.starts_with("unsafePath") || failure == "destinationConflict");
            EXPECT_TRUE(!thrown || failure == injected || readBackStat ||
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
