#include "LibraryBundle/copying/source_identity.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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
    } while (now.tv_sec < id.changedSeconds ||
             (now.tv_sec == id.changedSeconds && now.tv_nsec <= id.changedNanoseconds));
}

// Which groups of fields differ: "inode size modified changed".
std::string differences(const SourceIdentity& a, const SourceIdentity& b) {
    std::string out;
    auto note = [&](bool differs, const char* name) {
        if (differs) out += (out.empty() ? "" : " ") + std::string(name);
    };
    note(a.device != b.device, "device");
    note(a.inode != b.inode, "inode");
    note(a.size != b.size, "size");
    note(a.modifiedSeconds != b.modifiedSeconds || a.modifiedNanoseconds != b.modifiedNanoseconds, "modified");
    note(a.changedSeconds != b.changedSeconds || a.changedNanoseconds != b.changedNanoseconds, "changed");
    return out;
}

TEST(SourceIdentity, EveryKindOfChangeShows) {
    const struct {
        const char* change;
        std::function<void(const fs::path&)> apply;
        const char* differs;
    } cases[] = {
        {"append a byte", [](const fs::path& f) { appendTo(f, "!"); }, "size modified changed"},
        {"rewrite in place",
         [](const fs::path& f) {
             int fd = ::open(f.c_str(), O_WRONLY | O_CLOEXEC);
             ASSERT_EQ(::pwrite(fd, "R", 1, 0), 1);
             ::close(fd);
         },
         "modified changed"},
        {"permissions only", [](const fs::path& f) { fs::permissions(f, fs::perms::owner_read); }, "changed"},
        {"renamed over by a twin",
         [](const fs::path& f) {
             // Same bytes and modification time, another file object.
             struct stat st {};
             ASSERT_EQ(::lstat(f.c_str(), &st), 0);
             fs::path twin = f.parent_path() / "twin";
             std::ofstream(twin, std::ios::binary) << contentsOf(f);
             const timespec times[2] = {st.st_atim, st.st_mtim};
             ASSERT_EQ(::utimensat(AT_FDCWD, twin.c_str(), times, 0), 0);
             fs::rename(twin, f);
         },
         "inode changed"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        fs::path file = dir.writeFile("IMG_0001.CR3", "raw data");
        SourceIdentity before = SourceIdentity::capture(file);
        waitPastChangeTime(before);
        c.apply(file);
        SourceIdentity after = SourceIdentity::capture(file);
        EXPECT_EQ(differences(before, after), c.differs) << c.change;
        EXPECT_FALSE(isUnchanged(file, before)) << c.change;
        // A caller's earlier look counts too.
        EXPECT_FALSE(isUnchanged(file, after, &before)) << c.change;
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
