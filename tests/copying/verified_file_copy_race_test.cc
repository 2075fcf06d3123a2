// Names swapped under running copies: a thread exchanges a name with something else
// (renameat2 RENAME_EXCHANGE), a bounded number of times, while copies and hashes run.
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "copying/copying_test_support.h"
#include "support/failure.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;

// Only whole copies of `bytes`, and parts of it set aside; no temporary file.
void expectOnlyCopiesOf(const fs::path& folder, const std::string& bytes) {
    for (const auto& name : namesIn(folder)) {
        const std::string held = contentsOf(folder / name);
        EXPECT_FALSE(name.starts_with(VerifiedFileCopy::temporaryPrefix)) << name;
        EXPECT_TRUE(name.starts_with(".") ? bytes.starts_with(held) : held == bytes) << name;
    }
}

// The destination folder is exchanged with a link to a folder outside: nothing may land there.
TEST(VerifiedFileCopyRace, ADestinationFolderSwappedForALinkNeverRedirectsACopy) {
    TempDir dir;
    const std::string bytes = patternBytes(100'000, 4);
    const fs::path source = dir.writeFile("card/IMG.CR3", bytes), masters = dir.makeFolder("library/Masters");
    const fs::path outside = dir.makeFolder("outside"), link = dir.makeSymlink(outside, "library/Swap");
    std::size_t copied = 0, refused = 0;
    const auto copy = [&](int i) {
        const fs::path to = masters / ("IMG_" + std::to_string(i));
        const std::string failure = failureOf([&] {
            if (i % 2) VerifiedFileCopy().copy(source, to, sha256Of(bytes));
            else VerifiedFileCopy().copyMeasuring(source, to, std::nullopt);
        });
        ++(failure.empty() ? copied : refused);
    };
    whileExchanging(masters, link, copy, [&] { return copied > 0 && refused > 0; });
    EXPECT_EQ(namesIn(outside), std::vector<std::string>{});
    EXPECT_EQ(namesIn(masters).size(), copied);
    expectOnlyCopiesOf(masters, bytes);
}

// The source is exchanged with a FIFO that the test holds open and keeps feeding: a copy or hash
// that opened the FIFO would wait for a writer and then take bytes out of it.
TEST(VerifiedFileCopyRace, ASourceSwappedForAFifoIsNeverWaitedOnOrRead) {
    TempDir dir;
    const std::string bytes = patternBytes(100'000, 5);
    const fs::path source = dir.writeFile("card/IMG.CR3", bytes), fifo = dir / "card/Swap", fed = dir / "fed";
    const fs::path library = dir.makeFolder("library");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::link(fifo.c_str(), fed.c_str()), 0);  // a name that stays put
    const int held = ::open(fed.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    std::atomic<bool> done{false};
    std::atomic<long> written{0};
    std::thread feeder([&] {  // wakes an open waiting for a writer, with a byte to read
        for (int fd; !done; std::this_thread::sleep_for(std::chrono::microseconds(50)))
            if ((fd = ::open(fed.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0) {
                written += ::write(fd, "x", 1) == 1;
                ::close(fd);
            }
    });
    const std::string notRegular = oakenmere::platform::NotRegularFileError(source).what();
    int sawFifo = 0;
    const auto hashOrCopy = [&](int i) {
        if (i % 2) VerifiedFileCopy().hash(source);
        else VerifiedFileCopy().copyMeasuring(source, library / ("IMG_" + std::to_string(i)), std::nullopt);
    };
    const auto sawIt = [&](int i) { sawFifo += failureOf([&] { hashOrCopy(i); }) == notRegular; };
    whileExchanging(source, fifo, sawIt, [&] { return sawFifo > 0; });
    done = true;
    feeder.join();
    long left = 0;
    for (char c; ::read(held, &c, 1) == 1;) ++left;
    ::close(held);
    EXPECT_EQ(left, written.load()) << "bytes were read out of the FIFO";
    EXPECT_GT(sawFifo, 0);
    EXPECT_EQ(namesIn(source.parent_path()), (std::vector<std::string>{"IMG.CR3", "Swap"}));
    expectOnlyCopiesOf(library, bytes);
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
