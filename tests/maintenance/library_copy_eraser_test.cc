// The library's copy goes only when it is provably the recorded file; every refusal, every change
// at the last moment and every failing call leaves the package as it was.
#include "LibraryBundle/maintenance/library_copy_eraser.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>

#include "platform/sha256.h"
#include "support/failure.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Call = FaultInjectionFileSystem::Call;
using Outcome = LibraryCopyEraser::Outcome;

const std::string kPhoto = "the photo's bytes", kSha = platform::Sha256::hexOf(platform::asBytes(kPhoto)), kFile = "Masters/2024/IMG_1.jpg";
const std::string kLinked = "It is also linked from somewhere else, so it was left as it is.";
const std::string kNotAFile = "It is not a file, so it was left as it is.";
const std::string kChanged = "It is not the file the library recorded (it was changed or replaced), so it was left as it is.";

// Every entry under `folder` with what it holds, links not followed.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        out[entry.path().lexically_relative(folder)] = entry.is_symlink()        ? "link"
                                                       : entry.is_regular_file() ? contentsOf(entry.path())
                                                                                 : "other";
    return out;
}

std::string text(const LibraryCopyEraser::Result& result) {
    if (const auto* error = std::get_if<std::exception_ptr>(&result)) return failureOf(*error);
    return std::get<Outcome>(result) == Outcome::erased ? "erased" : "absent";
}

std::string erase(const fs::path& library, const std::string& relative = kFile, const std::set<std::string>& expected = {kSha}) {
    Outcome outcome{};
    const std::string failure = failureOf([&] { outcome = LibraryCopyEraser::erase(relative, expected, library); });
    return failure.empty() ? text(outcome) : failure;
}

struct Package : TempDir {
    fs::path library = makeFolder("Trip.oakenmere"), file = writeFile("Trip.oakenmere/" + kFile, kPhoto);
};

TEST(LibraryCopyEraser, ErasesOnlyAProvenRegularFileWithOneLinkAndOtherwiseTouchesNothing) {
    std::string upper = kSha;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    const struct {
        const char* what;
        std::string relative;
        std::set<std::string> expected;
        std::string result;
        std::function<void(Package&)> arrange = {};
    } cases[] = {
        {"proven, in upper case among others", kFile, {"0", upper}, "erased"},
        {"missing", "Masters/2024/IMG_2.jpg", {kSha}, "absent"},
        {"missing folder", "Masters/2023/IMG_1.jpg", {kSha}, "absent"},
        {"other bytes", kFile, {platform::Sha256::hexOf({})}, kChanged},
        {"nothing expected", kFile, {}, kChanged},
        {"leaving the package", "../Trip.oakenmere/" + kFile, {kSha}, "unsafePath ../Trip.oakenmere/" + kFile},
        {"through a linked folder",
         "Linked/2024/IMG_1.jpg",
         {kSha},
         "unsafePath {package}/Linked",
         [](Package& p) { p.makeSymlink(p.library / "Masters", "Trip.oakenmere/Linked"); }},
        {"a symbolic link",
         kFile,
         {kSha},
         kNotAFile,
         [](Package& p) { fs::remove(p.file), fs::create_symlink(p.writeFile("elsewhere.jpg", kPhoto), p.file); }},
        {"a folder", kFile, {kSha}, kNotAFile, [](Package& p) { fs::remove(p.file), fs::create_directory(p.file); }},
        {"a FIFO", kFile, {kSha}, kNotAFile, [](Package& p) { fs::remove(p.file), ::mkfifo(p.file.c_str(), 0600); }},
        {"hard-linked", kFile, {kSha}, kLinked, [](Package& p) { fs::create_hard_link(p.file, p / "IMG_1 kept.jpg"); }},
        {"no package", kFile, {kSha}, "errno ENOENT", [](Package& p) { p.library = p / "Gone.oakenmere"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Package p;
        if (c.arrange) c.arrange(p);
        auto expected = snapshot(p.path());
        const std::string result = c.result.ends_with("{package}/Linked") ? "unsafePath " + (p.library / "Linked").string() : c.result;
        EXPECT_EQ(erase(p.library, c.relative, c.expected), result);
        if (result == "erased") expected.erase("Trip.oakenmere/" + kFile);
        EXPECT_EQ(snapshot(p.path()), expected);
    }
}

TEST(LibraryCopyEraser, AFileChangedAtTheLastMomentStays) {
    const auto rewrite = [](Package& p, const std::string& bytes) { p.writeFile("Trip.oakenmere/" + kFile, bytes); };
    const struct {
        const char* what;
        std::function<void(Package&)> change;
        std::string result;
        bool whileHashing = false;  // else after hashing, just before the file is looked at again
    } cases[] = {
        {"appended to while hashed", [&](Package& p) { rewrite(p, kPhoto + "!"); }, kChanged, true},
        {"replaced by the same bytes", [](Package& p) { fs::rename(p.writeFile("Trip.oakenmere/new", kPhoto), p.file); }, kChanged},
        {"rewritten with its time put back",
         [&](Package& p) {
             const auto time = fs::last_write_time(p.file);
             rewrite(p, "THE PHOTO'S BYTES");
             fs::last_write_time(p.file, time);
         },
         kChanged},
        {"linked", [](Package& p) { fs::create_hard_link(p.file, p / "IMG_1 kept.jpg"); }, kLinked},
        {"removed", [](Package& p) { fs::remove(p.file); }, "absent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Package p;
        std::map<std::string, std::string> changed;
        const auto change = [&] { c.change(p), changed = snapshot(p.path()); };
        FaultInjectionFileSystem disk;
        if (c.whileHashing) {
            disk.beforeCall(Call::read, 2, change);
        } else {  // the first look at the file after its first read is the last one before the unlink
            disk.beforeCall(Call::read, 1, [&] { disk.beforeCall(Call::stat, disk.count(Call::stat) + 1, change); });
        }
        EXPECT_EQ(erase(p.library), c.result);
        EXPECT_EQ(snapshot(p.path()), changed);
    }
}

// A drive going away shows as failing calls: whichever fails, the file stays and the failure is
// reported, or the file is erased and nothing is.
TEST(LibraryCopyEraser, AnyFailingCallLeavesTheFile) {
    Package p;
    const auto before = snapshot(p.path());
    sweepFaults([&] { p.writeFile("Trip.oakenmere/" + kFile, kPhoto); }, [&] { LibraryCopyEraser::erase(kFile, {kSha}, p.library); },
                [&](const InjectedFault& fault, std::exception_ptr thrown) {
                    auto expected = before;
                    if (!thrown) expected.erase("Trip.oakenmere/" + kFile);
                    EXPECT_EQ(snapshot(p.path()), expected) << fault.describe() << ": " << failureOf(thrown);
                });
}

// How many erases read at once: the first readers are held until as many as the width are
// reading, and a little longer, so that any reader beyond the width would show itself.
struct Gauge {
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0, most = 0, width;
    bool open = false;
    void enter() {
        std::unique_lock lock(mutex);
        most = std::max(most, ++inside);
        changed.notify_all();
        if (!open && inside >= width) {
            changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return inside > width; });
            open = true, changed.notify_all();
        }
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return open; })) open = true;  // a guard against hanging only
        --inside;
    }
};

TEST(LibraryCopyEraser, ABatchRunsAtMostItsWidthAtOnceAndAnswersEveryPath) {
    for (const int width : {0, 3}) {
        Package p;
        p.writeFile("Trip.oakenmere/Masters/other.jpg", "other bytes");
        std::map<std::string, std::set<std::string>> files{{"../x", {kSha}}, {"Masters/gone.jpg", {kSha}}, {"Masters/other.jpg", {kSha}}};
        std::map<std::string, std::string> expected{
            {"../x", "unsafePath ../x"}, {"Masters/gone.jpg", "absent"}, {"Masters/other.jpg", kChanged}};
        for (const char* name : {"Masters/a", "Masters/b", "Masters/c", "Masters/d"}) {
            files[name + std::string(".jpg")] = {kSha, "0"}, expected[name + std::string(".jpg")] = "erased";
            p.writeFile("Trip.oakenmere/" + std::string(name) + ".jpg", kPhoto);
        }
        Gauge gauge{.width = std::max(width, 1)};
        std::map<std::string, std::string> answers;
        {
            FaultInjectionFileSystem disk;
            for (int nth = 1; nth <= 20; ++nth) disk.beforeCall(Call::read, nth, [&] { gauge.enter(); });
            for (const auto& [path, result] : LibraryCopyEraser::erase(files, p.library, width)) answers[path] = text(result);
        }
        EXPECT_EQ(gauge.most, std::max(width, 1));
        EXPECT_EQ(answers, expected);
        EXPECT_EQ(contentsOf(p.library / "Masters/other.jpg"), "other bytes");
    }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
