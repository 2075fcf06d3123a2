#include "LibraryBundle/core/package_path.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "copying/copying_test_support.h"
#include "platform/file_io.h"
#include "platform/safe_open.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using oakenmere::testing::contentsOf;
using oakenmere::testing::errnoName;
using oakenmere::testing::failureOf;

const std::string kUuid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";

TEST(PackagePath, JoinedAppendsOnlySafeRelativePaths) {
    const fs::path root = "/home/ana/Holiday.oakenmere";
    for (const char* unsafe : {"", "/etc/passwd", "a//b", "a/", "a/./b", "../x", ".", "..", "Masters/..", "/"}) {
        EXPECT_EQ(PackagePath::joined(unsafe, root), std::nullopt) << unsafe;
        // What was stored is what the message shows.
        EXPECT_EQ(failureOf([&] { PackagePath::resolve(unsafe, root); }), std::string("unsafePath ") + unsafe);
    }
    EXPECT_EQ(PackagePath::joined("Masters/2024/a.jpg", root), fs::path("/home/ana/Holiday.oakenmere/Masters/2024/a.jpg"));
    EXPECT_EQ(PackagePath::joined("..a/b..", root), root / "..a/b..");
}

TEST(PackagePath, SymbolicLinksAnywhereOnThePathAreRefusedByName) {
    oakenmere::testing::TempDir dir;
    dir.makeFolder("Real.oakenmere/Masters/2024");
    fs::path linkedRoot = dir.makeSymlink(dir / "Real.oakenmere", "Linked.oakenmere");
    fs::path linkedMiddle = dir.makeSymlink(dir / "elsewhere", "Real.oakenmere/Masters/2025");
    fs::path dangling = dir.makeSymlink(dir / "nowhere", "Real.oakenmere/Masters/2024/gone.jpg");
    // A tail that does not exist yet is fine.
    EXPECT_EQ(PackagePath::resolve("Masters/2024/new/a.jpg", dir / "Real.oakenmere"), dir / "Real.oakenmere/Masters/2024/new/a.jpg");

    EXPECT_EQ(failureOf([&] { PackagePath::resolve("Masters/2024/a.jpg", linkedRoot); }), "unsafePath " + linkedRoot.string());
    // A link inside, named in the message, is VerifiedFileCopyTest's; one is refused even when it points nowhere.
    EXPECT_EQ(failureOf([&] { PackagePath::rejectSymlinks(dangling); }), "unsafePath " + dangling.string());
    EXPECT_EQ(failureOf([&] { PackagePath::rejectSymlinks(dir.writeFile("file", "x") / "below"); }), errnoName(ENOTDIR));
    // ".." is removed before the walk, so a link it steps back out of is never looked at.
    EXPECT_EQ(failureOf([&] { PackagePath::rejectSymlinks(linkedMiddle / "../2024/a.jpg"); }), "");
}

// Three lists: import state only, job working links only, and neither.
TEST(PackagePath, ImportStateFilesAndJobWorkingLinks) {
    const std::string imports = "Imports/lightroom-", job = "Jobs/" + kUuid + "/Working";
    // clang-format off
    const std::vector<std::string> importState = {"Imports/protected-captures.txt", imports + kUuid + ".json",
        imports + kUuid + ".done", "Imports/aperture-" + kUuid + ".done", "Imports/aperture-" + kUuid + ".json"};
    const std::vector<std::string> workingLinks = {job + "/a.jpg", job + "/DCIM/100/a.jpg"};
    const std::vector<std::string> neither = {imports + ".json", "Imports/sub/protected-captures.txt",
        "imports/protected-captures.txt", "Imports/Lightroom-" + kUuid + ".json", imports + kUuid + ".JSON",
        imports + kUuid.substr(1) + ".json", "Imports", "/Imports/protected-captures.txt", job, "Jobs/not-a-uuid/Working/a.jpg",
        job + "/x/../../a.jpg", job + "/./a.jpg", job + "//a.jpg", "Jobs/" + kUuid + "/Done/a.jpg", "jobs/" + kUuid + "/Working/a.jpg"};
    // clang-format on
    for (const auto& path : importState) EXPECT_TRUE(PackagePath::isImportStatePath(path) && !PackagePath::isJobWorkingLink(path)) << path;
    for (const auto& path : workingLinks) EXPECT_TRUE(!PackagePath::isImportStatePath(path) && PackagePath::isJobWorkingLink(path)) << path;
    for (const auto& path : neither) EXPECT_FALSE(PackagePath::isImportStatePath(path) || PackagePath::isJobWorkingLink(path)) << path;
}

// Each case runs with the kernel's openat2 and with the folder-by-folder walk used where the
// kernel lacks it.
class OpenInside : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { platform::useOpenBeneathWalkForTesting(GetParam()); }
    void TearDown() override { platform::useOpenBeneathWalkForTesting(false); }

    // What the descriptor itself opened, read through its entry in /proc.
    static std::string contents(const platform::UniqueFd& fd) { return contentsOf("/proc/self/fd/" + std::to_string(fd.get())); }

    oakenmere::testing::TempDir dir;
    fs::path root = dir.makeFolder("Holiday.oakenmere");
    fs::path outside = dir.writeFile("outside/secret.txt", "secret").parent_path();
};

TEST_P(OpenInside, OpensRealFilesAndNeverFollowsALink) {
    dir.writeFile(root / "Masters/2024/a.jpg", "photo");
    dir.makeSymlink(outside / "secret.txt", root / "Masters/2024/link.jpg");
    dir.makeSymlink(outside, root / "Masters/2025");
    dir.makeSymlink(root / "Masters", root / "Edits");  // even a link that stays inside
    dir.makeSymlink(outside / "planted.jpg", root / "Masters/2024/dangling.jpg");
    platform::UniqueFd rootFd = platform::openDirectory(root);

    EXPECT_EQ(contents(PackagePath::openInside(rootFd, "Masters/2024/a.jpg", O_RDONLY)), "photo");
    // Reading or creating, a link anywhere is refused: openat2 says ELOOP; the walk, opening a folder
    // without following, may say ENOTDIR. Nothing lands outside.
    const std::pair<const char*, int> linked[] = {{"Masters/2024/link.jpg", O_RDONLY},
                                                  {"Masters/2025/secret.txt", O_RDONLY},
                                                  {"Edits/2024/a.jpg", O_RDONLY},
                                                  {"Masters/2025/new.jpg", O_WRONLY | O_CREAT},
                                                  {"Masters/2024/dangling.jpg", O_WRONLY | O_CREAT}};
    for (const auto& [path, flags] : linked) {
        const std::string failure = failureOf([&, path = path, flags = flags] { PackagePath::openInside(rootFd, path, flags, 0600); });
        EXPECT_TRUE(failure == errnoName(ELOOP) || failure == errnoName(ENOTDIR)) << path << ": " << failure;
    }
    EXPECT_EQ(oakenmere::platform::listDirectory(outside), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(failureOf([&] { PackagePath::openInside(rootFd, "../outside/secret.txt", O_RDONLY); }), "unsafePath ../outside/secret.txt");
    EXPECT_EQ(failureOf([&] { PackagePath::openInside(rootFd, "Masters/none.jpg", O_RDONLY); }), errnoName(ENOENT));
    PackagePath::openInside(rootFd, "Masters/2024/new.jpg", O_WRONLY | O_CREAT | O_EXCL, 0600);
    EXPECT_TRUE(fs::is_regular_file(root / "Masters/2024/new.jpg"));
}

// One thread keeps exchanging a folder of the package with a link to a folder outside it that
// holds a file of the same name; no open may ever reach the outside file.
TEST_P(OpenInside, ALinkSwappedInDuringTheOpenIsNeverFollowed) {
    dir.writeFile(root / "Swap/photo.jpg", "harmless");
    dir.writeFile(outside / "photo.jpg", "secret");
    dir.makeSymlink(outside, root / "Other");
    platform::UniqueFd rootFd = platform::openDirectory(root);

    // At least 4000 opens, and more while either outcome is still missing: the swapping thread may
    // be kept off the processor for a while on a busy machine.
    int opened = 0, refused = 0, leaked = 0;
    oakenmere::testing::whileExchanging(
        root / "Swap", root / "Other",
        [&](int) {
            try {
                std::string text = contents(PackagePath::openInside(rootFd, "Swap/photo.jpg", O_RDONLY));
                ++(text == "harmless" ? opened : leaked);
            } catch (const std::system_error&) {
                ++refused;  // the link was in place: refusing is the right answer
            }
        },
        [&] { return opened > 0 && refused > 0; }, 4000);
    EXPECT_EQ(leaked, 0);
    EXPECT_GT(opened, 0);
    EXPECT_GT(refused, 0);
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, OpenInside, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Walk" : "Openat2"; });

}  // namespace
}  // namespace oakenmere::LibraryBundle
