#include "BrightloftQuickLook/preview_view_controller.h"

#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "preview_fixtures.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::BrightloftQuickLook {
namespace {

namespace fs = std::filesystem;
using namespace fixtures;
using oakenmere::platform::Logger;
using oakenmere::platform::LogRecord;
using namespace oakenmere::testing;

// A reading thread may still be inside post() after its answer has run; a loop that is never
// destroyed cannot vanish under it. The test thread makes it, so the test thread is main.
MainRunLoop& mainLoop() {
    static MainRunLoop& loop = *new MainRunLoop;
    return loop;
}

class PreviewViewControllerTest : public ::testing::Test {
protected:
    // The controller logs on the main thread, which is this one.
    void SetUp() override {
        Logger::captureForTesting([this](const LogRecord& record) { logs.push_back(record); });
    }
    void TearDown() override { Logger::captureForTesting(nullptr); }

    // Prepares `at`, runs `meanwhile` before the answer can be handled, waits for the answer and
    // then runs the loop once more so that a second answer already on its way is counted too.
    std::string prepare(PreviewViewController& c, const fs::path& at, const std::function<void()>& meanwhile = {}) {
        auto answers = std::make_shared<std::vector<std::exception_ptr>>();
        c.preparePreviewOfFile(at, [answers](std::exception_ptr failure) { answers->push_back(failure); });
        if (meanwhile) meanwhile();
        loop.runUntil([&] { return !answers->empty(); });
        bool pumped = false;
        loop.post([&] { pumped = true; });
        loop.runUntil([&] { return pumped; });
        EXPECT_EQ(answers->size(), 1u);
        return failureOf(answers->front());
    }
    // The page before any answer; its words are LibraryPreviewContentTest's business.
    static void expectPlaceholder(const LibraryPreviewContent& content) {
        EXPECT_EQ(content.name(), "");
        EXPECT_EQ(content.counts(), "Oakenmere Library");
    }

    TempDir dir;
    PackageInfo info;
    fs::path package = dir.makeLibrary("Holiday.oakenmere", info);
    MainRunLoop& loop = mainLoop();
    PreviewViewController controller{loop};
    std::vector<LogRecord> logs;
};

TEST_F(PreviewViewControllerTest, PageHeightFollowsTheContactSheet) {
    LibraryBundle::LibraryPreviewSummaryStore store;
    const struct {
        const char* what;
        std::function<void()> make;
        const char* counts;
        bool image;
        Size size;
        const char* log;
    } cases[] = {
        // clang-format off
        {"no summary", [] {}, "Oakenmere Library", false, {640, 460}, "summary present: false, details: false"},
        {"counts only", [&] { store.write(summaryOf(std::nullopt, 10, 12, info.uuid()), std::nullopt, package); },
         "10 items \u00B7 2 edited copies", false, {640, 460}, "summary present: true, details: false"},
        {"details and a picture", [&] { store.write(summaryOf(fullDetails(), 1, 1, info.uuid()), contactSheetJpeg(), package); },
         "1 item", true, {640, 600}, "summary present: true, details: true"},
        {"picture the decoder refuses",
         [&] {
             store.write(summaryOf(fullDetails(), 2, 2, info.uuid()), std::nullopt, package);
             dir.writeFile(package / "Summary.jpg", brokenJpeg());
             ASSERT_EQ(store.read(package).contactSheet, brokenJpeg());  // the store keeps it; only decoding drops it
         },
         "2 items", false, {640, 460}, "summary present: true, details: true"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        package = dir.makeLibrary(std::string(c.what) + ".oakenmere", info);
        c.make();
        logs.clear();
        PreviewViewController fresh(loop);
        fresh.loadView();
        EXPECT_EQ(prepare(fresh, package), "");
        for (const LibraryPreviewContent* content : {&fresh.content(), &fresh.hosting()->content()}) {
            EXPECT_EQ(content->name(), "Holiday");
            EXPECT_EQ(content->counts(), c.counts);
            EXPECT_EQ(content->contactSheet().has_value(), c.image);
        }
        EXPECT_EQ(fresh.preferredContentSize(), c.size);
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].subsystem, kPreviewBundleIdentifier);
        EXPECT_EQ(logs[0].category, "preview");
        EXPECT_EQ(logs[0].level, oakenmere::platform::LogLevel::notice);
        EXPECT_EQ(logs[0].message, std::string("Prepared library preview; ") + c.log);
    }
}

// The page starts as the placeholder. The store's failures arrive unchanged (which paths fail how is LibraryPreviewSummaryStoreTest's
// business); a page that cannot be built or a thread that cannot start are failures too. None
// changes the page, and the controller still works afterwards.
TEST_F(PreviewViewControllerTest, FailuresReachTheHandlerOnceAndChangeNothing) {
    dir.makeFolder("Plain folder");
    const struct {
        const char* what;
        fs::path at;
        std::function<void()> buildContent, startThread;
        std::string failure;
    } cases[] = {
        {"not a library", dir / "Plain folder", {}, {}, "invalidBundle"},
        {"page cannot be built", package, [] { throw std::bad_alloc(); }, {}, "std::bad_alloc"},
        {"no thread", package, {}, [] { throw std::system_error(EAGAIN, std::generic_category(), "pthread_create"); }, errnoName(EAGAIN)}};
    for (bool loaded : {false, true}) {
        PreviewViewController fresh(loop);
        if (loaded) fresh.loadView();
        logs.clear();
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (loaded ? ", view loaded" : ""));
            fresh.setBuildContentHookForTesting(c.buildContent);
            fresh.setStartThreadHookForTesting(c.startThread);
            EXPECT_EQ(prepare(fresh, c.at), c.failure);
            expectPlaceholder(fresh.content());
            EXPECT_EQ(fresh.isViewLoaded(), loaded);
            if (loaded) expectPlaceholder(fresh.hosting()->content());
            EXPECT_EQ(fresh.preferredContentSize(), (loaded ? Size{640, 600} : Size{}));
        }
        EXPECT_TRUE(logs.empty());
        fresh.setBuildContentHookForTesting({});
        fresh.setStartThreadHookForTesting({});
        EXPECT_EQ(prepare(fresh, package), "");  // loads the view if nobody did
        ASSERT_NE(fresh.hosting(), nullptr);
        EXPECT_EQ(fresh.hosting()->content().name(), "Holiday");
    }
}

// Cancelled, or its controller gone before the answer: the handler still runs once. A
// cancellation ends that preparation only; the next one succeeds.
TEST_F(PreviewViewControllerTest, ACancelledOrAbandonedPreparationCompletesOnce) {
    EXPECT_EQ(prepare(controller, package, [&] { controller.cancel(); }), "cancelled");
    expectPlaceholder(controller.content());
    auto gone = std::make_unique<PreviewViewController>(loop);
    EXPECT_EQ(prepare(*gone, package, [&] { gone.reset(); }), "cancelled");
    EXPECT_TRUE(logs.empty());
    EXPECT_EQ(prepare(controller, package), "");
    EXPECT_EQ(controller.content().name(), "Holiday");
}

}  // namespace
}  // namespace oakenmere::BrightloftQuickLook
