#include "BrightloftQuickLook/PreviewViewController.h"

#include <string>
#include <thread>

#include "platform/cancellation.h"

namespace BrightloftQuickLook {

// The store and a flag saying whether the controller still exists; the reading thread keeps
// them alive until it has posted its answer.
struct PreviewViewController::Shared {
    LibraryBundle::LibraryPreviewSummaryStore summaryStore;
    bool controllerAlive = true;  // touched on the main thread only
};

PreviewViewController::PreviewViewController(MainRunLoop& mainLoop)
    : mainLoop_(mainLoop),
      shared_(std::make_shared<Shared>()),
      log_(kPreviewBundleIdentifier, "preview"),
      content_(std::nullopt, "") {
    mainLoop_.assertMainThread("PreviewViewController");
}

PreviewViewController::~PreviewViewController() {
    shared_->controllerAlive = false;
    stop_.request_stop();
}

void PreviewViewController::loadView() {
    mainLoop_.assertMainThread("PreviewViewController::loadView");
    hosting_.emplace(content_);
    preferredContentSize_ = sizeWithContactSheet;
}

void PreviewViewController::cancel() { stop_.request_stop(); }

void PreviewViewController::preparePreviewOfFile(const std::filesystem::path& at, CompletionHandler completionHandler) {
    mainLoop_.assertMainThread("PreviewViewController::preparePreviewOfFile");
    // The reading thread owns what it uses (the store, the token, the handler), so it may
    // outlive the controller; its answer is dropped on the main thread if the controller is gone.
    std::thread([this, shared = shared_, at, token = stop_.get_token(), poster = mainLoop_.poster(),
                            completionHandler = std::move(completionHandler)]() mutable {
        std::optional<LibraryBundle::LibraryPreview> preview;
        std::exception_ptr failure;
        try {
            preview = shared->summaryStore.read(at);
        } catch (...) {
            failure = std::current_exception();
        }
        poster.post([this, shared, token, preview = std::move(preview), failure, completionHandler]() mutable {
            if (!shared->controllerAlive || token.stop_requested()) {
                completionHandler(failure ? failure : std::make_exception_ptr(oakenmere::platform::CancellationError()));
                return;
            }
            finish(std::move(preview), failure, completionHandler);
        });
    }).detach();
}

void PreviewViewController::finish(std::optional<LibraryBundle::LibraryPreview> preview, std::exception_ptr failure,
                                   const CompletionHandler& completionHandler) {
    if (failure) {
        completionHandler(failure);
        return;
    }
    if (!isViewLoaded()) loadView();
    content_ = LibraryPreviewContent(preview, preview->name);
    hosting_.emplace(content_);
    preferredContentSize_ = content_.contactSheet() ? sizeWithContactSheet : sizeWithoutContactSheet;
    bool summaryPresent = preview->summary.has_value();
    bool details = summaryPresent && preview->summary->details().has_value();
    log_.notice(std::string("Prepared library preview; summary present: ") + (summaryPresent ? "true" : "false") +
              ", details: " + (details ? "true" : "false"));
    completionHandler(nullptr);
}

}  // namespace BrightloftQuickLook
