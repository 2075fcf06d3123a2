#include "LibraryBundle/copying/source_identity.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

#include "copying/copying_test_support.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;

// File times come from a clock that only moves every few milliseconds; waiting for it to pass
// the last change makes the next change visible in the time stamps.
void waitPastChangeTime(const SourceIdentity& id) {
    timespec now{};
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    } while (now.tv_sec < id.changedSeconds || (now.tv_sec == id.changedSeconds && now.tv_nsec <= id.changedNanoseconds));
}

// Growth, a rewrite in place, a change of permissions only (seen in the change time alone) and a
// twin with the same bytes and times renamed over the file (another inode) all show.
TEST(SourceIdentity, EveryKindOfChangeShows) {
    const std::pair<const char*, std::function<void(const fs::path&)>> changes[] = {
        {"append", [](const fs::path& f) { appendTo(f, "!"); }},
        {"rewrite", [](const fs::path& f) { std::fstream(f, std::ios::in | std::ios::out | std::ios::binary) << 'R'; }},
        {"chmod", [](const fs::path& f) { fs::permissions(f, fs::perms::owner_read); }},
        {"twin",
         [](const fs::path& f) {
             struct stat st {};
             ASSERT_EQ(::lstat(f.c_str(), &st), 0);
             const fs::path twin = f.parent_path() / "twin";
             std::ofstream(twin, std::ios::binary) << contentsOf(f);
             const timespec times[2] = {st.st_atim, st.st_mtim};
             ASSERT_EQ(::utimensat(AT_FDCWD, twin.c_str(), times, 0), 0);
             fs::rename(twin, f);
         }},
    };
    for (const auto& [change, apply] : changes) {
        SCOPED_TRACE(change);
        TempDir dir;
        fs::path file = dir.writeFile("IMG_0001.CR3", "raw data");
        SourceIdentity before = SourceIdentity::capture(file);
        waitPastChangeTime(before);
        apply(file);
        const SourceIdentity after = SourceIdentity::capture(file);
        EXPECT_FALSE(isUnchanged(file, before));
        EXPECT_FALSE(isUnchanged(file, after, &before));  // a caller's earlier look counts too
    }
}

TEST(SourceIdentity, OnlyRegularFilesHaveOne) {
    TempDir dir;
    fs::path file = dir.writeFile("IMG_0001.CR3", "raw data");
    fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const fs::path& unsafe : {dir.makeSymlink(file, "link.CR3"), dir.makeSymlink(dir / "nowhere", "dangling.CR3"),
                                   dir.makeFolder("Masters"), dir.makeSymlink(dir / "Masters", "linked"), fifo}) {
        EXPECT_EQ(failureOf([&] { SourceIdentity::capture(unsafe); }), "unsafePath " + unsafe.string());
        // A trailing "/" still looks at the link itself, not at what it points to.
        EXPECT_EQ(failureOf([&] { SourceIdentity::capture(unsafe.string() + "/"); }), "unsafePath " + unsafe.string());
    }
    EXPECT_EQ(SourceIdentity::capture(file.string() + "/"), SourceIdentity::capture(file));
    EXPECT_EQ(failureOf([&] { SourceIdentity::capture(dir / "missing.CR3"); }), errnoName(ENOENT));
    EXPECT_EQ(failureOf([&] { SourceIdentity::capture(file / "below"); }), errnoName(ENOTDIR));
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
