#pragma once
// What the file manager's preview host talks to: given a library package, it reads the
// package's preview off the main thread, builds the page on the main thread and reports back
// exactly once. It never writes to the package.
//
// Every member runs on the main thread of the MainRunLoop it was made with. One controller
// serves one preview: it starts with placeholder content and replaces it once when a
// preparation succeeds; a failed or cancelled preparation leaves the placeholder.
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

#include "BrightloftQuickLook/library_preview_content.h"
#include "BrightloftQuickLook/library_preview_view.h"
#include "BrightloftQuickLook/main_run_loop.h"
#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "platform/logger.h"

namespace oakenmere::BrightloftQuickLook {

// The log subsystem: the preview's bundle identifier.
inline constexpr const char* kPreviewBundleIdentifier = "com.oakenmere.Oakenmere.BrightloftQuickLook";

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

class PreviewViewController {
public:
    // Called once: nullptr on success, otherwise the store's failure unchanged, or a
    // CancellationError.
    using CompletionHandler = std::function<void(std::exception_ptr)>;

    static constexpr Size sizeWithContactSheet{640, 600};
    static constexpr Size sizeWithoutContactSheet{640, 460};

    explicit PreviewViewController(MainRunLoop& mainLoop);
    ~PreviewViewController();
    PreviewViewController(const PreviewViewController&) = delete;
    PreviewViewController& operator=(const PreviewViewController&) = delete;

    // Makes the page view for the current content and sets the preferred size to 640 × 600.
    void loadView();
    bool isViewLoaded() const noexcept { return hosting_.has_value(); }

    // The handler runs once, on the main thread, after this returns. A failure to build the page
    // (ICU, memory) or to start the reading thread reaches it too and changes nothing.
    void preparePreviewOfFile(const std::filesystem::path& at, CompletionHandler completionHandler);
    // Asks the preparations running now to stop; they then complete with CancellationError. A
    // preparation started afterwards is not affected.
    void cancel();

    // Test hooks: each runs where its work is about to happen and may throw to stand for that
    // work failing (building the content; starting the reading thread).
    void setBuildContentHookForTesting(std::function<void()> hook) { buildContentHook_ = std::move(hook); }
    void setStartThreadHookForTesting(std::function<void()> hook) { startThreadHook_ = std::move(hook); }

    const LibraryPreviewContent& content() const noexcept { return content_; }
    // The page view, once loaded.
    const LibraryPreviewView* hosting() const noexcept { return hosting_ ? &*hosting_ : nullptr; }
    Size preferredContentSize() const noexcept { return preferredContentSize_; }

private:
    struct Shared;
    // Builds the page and, only when all of it could be built, shows it; returns the failure.
    std::exception_ptr show(const LibraryBundle::LibraryPreview& preview);

    MainRunLoop& mainLoop_;
    std::shared_ptr<Shared> shared_;  // what the reading thread may touch
    platform::Logger log_;
    LibraryPreviewContent content_;
    std::optional<LibraryPreviewView> hosting_;
    Size preferredContentSize_{};
    std::stop_source stop_;  // shared by the preparations started since the last cancel()
    std::function<void()> buildContentHook_;
    std::function<void()> startThreadHook_;
};

}  // namespace oakenmere::BrightloftQuickLook
