#include "LibraryBundle/core/bounded_file_reader.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/file_io.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using oakenmere::platform::asText;
using oakenmere::platform::Bytes;
using oakenmere::platform::lstatPath;
using oakenmere::testing::errnoName;
using oakenmere::testing::failureOf;

std::size_t openDescriptors() { return oakenmere::platform::listDirectory("/proc/self/fd").size(); }

std::string readFailure(const fs::path& path, std::int64_t maximumBytes, const std::stop_token& stop = {}) {
    return failureOf([&] { BoundedFileReader::read(path, maximumBytes, stop); });
}

Bytes bytesOf(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    return bytes;
}

// The limit is inclusive, and must lie between 0 and largestMaximumBytes.
TEST(BoundedFileReaderTest, TheLimitIsInclusive) {
    // Over 1 MiB the file is read in several pieces, and the limit still holds exactly.
    const std::int64_t big = 3 * (1 << 20) + 7;
    const struct {
        std::size_t size;
        std::int64_t limit;
        const char* failure;
    } cases[] = {{0, 0, ""},
                 {1, 0, "tooLarge"},
                 {5, 5, ""},
                 {6, 5, "tooLarge"},
                 {std::size_t(big), big, ""},
                 {std::size_t(big), big - 1, "tooLarge"},
                 {5, BoundedFileReader::largestMaximumBytes, ""},
                 {3, INT64_MAX, "invalidMaximumBytes"},
                 {3, -1, "invalidMaximumBytes"}};
    oakenmere::testing::TempDir dir;
    for (const auto& c : cases) {
        fs::path file = dir.writeFile("file", bytesOf(c.size));
        EXPECT_EQ(readFailure(file, c.limit), c.failure) << c.size << " bytes, limit " << c.limit;
        if (*c.failure == '\0') {
            EXPECT_EQ(BoundedFileReader::read(file, c.limit), bytesOf(c.size));
        }
    }
}

// Files under /proc report a size of 0 and then give more: the limit is enforced on what is read,
// not on the size reported.
TEST(BoundedFileReaderTest, AFileLongerThanItsReportedSizeIsStillBounded) {
    ASSERT_EQ(lstatPath("/proc/self/status").value().size, 0);
    EXPECT_EQ(readFailure("/proc/self/status", 10), "tooLarge");
    EXPECT_TRUE(asText(BoundedFileReader::read("/proc/self/status", 1 << 20)).starts_with("Name:"));
}

// No descriptor stays open, whatever the outcome.
TEST(BoundedFileReaderTest, ReadsOnlyRegularFilesAndNeverHangs) {
    oakenmere::testing::TempDir dir;
    fs::path file = dir.writeFile("file", "abc");
    fs::path link = dir.makeSymlink(file, "link");
    fs::path folder = dir.makeFolder("folder");
    fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // nobody writes to it: a blocking open would wait forever
    std::size_t before = openDescriptors();

    for (const fs::path& path : {link, folder, fifo, fs::path("/dev/null")}) EXPECT_EQ(readFailure(path, 100), "notRegularFile") << path;
    EXPECT_EQ(readFailure(dir / "missing", 100), errnoName(ENOENT));
    EXPECT_EQ(readFailure(file / "below-a-file", 100), errnoName(ENOTDIR));
    EXPECT_EQ(readFailure(file, 2), "tooLarge");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(readFailure(file, 100, stop.get_token()), "cancelled");
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
