// A copying process killed outright, at chosen checkpoints and at random moments, never leaves a
// partial file under the destination's name, and the copy can simply be run again.
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "copying/copying_test_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Checkpoint = VerifiedFileCopy::Checkpoint;

TEST(VerifiedFileCopyCrash, AKilledCopyLeavesNoPartialFileAndCanBeRunAgain) {
    TempDir dir;
    const std::string original = patternBytes(64 << 20, 11);
    const std::string checksum = sha256Of(original);
    const fs::path source = dir.writeFile("card/MVI_0001.MOV", original);
    // The copy kills itself at these occurrences of these checkpoints, then is killed at random moments.
    const std::pair<Checkpoint, int> selfKills[] = {
        {Checkpoint::wroteBlock, 1}, {Checkpoint::wroteBlock, 33},   {Checkpoint::wroteBlock, 64}, {Checkpoint::wroteCopy, 1},
        {Checkpoint::readBack, 1},   {Checkpoint::beforePublish, 1}, {Checkpoint::published, 1}};
    const int runs = static_cast<int>(std::size(selfKills)) + 17;
    std::mt19937 random(20240611);
    std::uniform_int_distribution<useconds_t> delay(0, 200'000);
    int killedWithTemporary = 0, killedAfterPublishing = 0;

    for (int run = 0; run < runs; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const fs::path library = dir.makeFolder("library-" + std::to_string(run));
        const fs::path unrelated = dir.writeFile(library.filename() / "IMG_0000.CR3", patternBytes(5000, run));
        const auto unrelatedBefore = stateOf(unrelated);
        const fs::path target = library / "MVI_0001.MOV";
        std::optional<std::pair<Checkpoint, int>> selfKill;
        if (run < static_cast<int>(std::size(selfKills))) selfKill = selfKills[run];

        const pid_t child = forkRunning([&] {  // the copy, which kills itself at `selfKill` if given
            VerifiedFileCopy copier;
            int seen = 0;
            copier.fault = [&](Checkpoint point) {
                if (selfKill && point == selfKill->first && ++seen == selfKill->second) ::kill(::getpid(), SIGKILL);
            };
            copier.copyMeasuring(source, target, std::nullopt);
        });
        if (!selfKill) {
            ::usleep(delay(random));
            ::kill(child, SIGKILL);
        }
        const int status = waitFor(child);
        const bool killed = killedBy(status, SIGKILL);
        EXPECT_TRUE(killed || exitedWith(status, 0)) << "status " << status;
        EXPECT_TRUE(killed || !selfKill);

        // Only the temporary file may be new; the final name is empty or holds the whole copy.
        const auto leftovers = namesStartingWith(library, VerifiedFileCopy::temporaryPrefix);
        killedWithTemporary += !leftovers.empty();
        const bool published = fs::exists(target);
        killedAfterPublishing += published && killed;
        EXPECT_TRUE(!published || holds(target, original));
        EXPECT_EQ(namesIn(library).size(), leftovers.size() + (published ? 2 : 1));
        EXPECT_EQ(stateOf(unrelated), unrelatedBefore);

        // Running the copy again finishes it, leaving any temporary file of the killed one alone.
        VerifiedFileCopy resume;
        if (published) EXPECT_EQ(resume.copy(source, target, checksum), target);
        else EXPECT_EQ(resume.copyMeasuring(source, target, std::nullopt), checksum);
        EXPECT_TRUE(holds(target, original));
        EXPECT_EQ(namesStartingWith(library, VerifiedFileCopy::temporaryPrefix), leftovers);
        EXPECT_EQ(namesIn(library).size(), leftovers.size() + 2);
        fs::remove_all(library);
    }
    // The chosen checkpoints guarantee both kinds of kill, whatever the random ones hit.
    EXPECT_GT(killedWithTemporary, 0);
    EXPECT_GT(killedAfterPublishing, 0);
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
