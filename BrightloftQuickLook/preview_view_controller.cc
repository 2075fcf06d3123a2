#include "BrightloftQuickLook/preview_view_controller.h"

#include <string>
#include <thread>

#include "platform/cancellation.h"

namespace oakenmere::BrightloftQuickLook {

// The store and a flag saying whether the controller still exists; the reading thread keeps
// them alive until it has posted its answer.
struct PreviewViewController::Shared {
    LibraryBundle::LibraryPreviewSummaryStore summaryStore;
    bool controllerAlive = true;  // touched on the main thread only
};

PreviewViewController::PreviewViewController(MainRunLoop& mainLoop)
    : mainLoop_(mainLoop), shared_(std::make_shared<Shared>()), log_(kPreviewBundleIdentifier, "preview"), content_(std::nullopt, "") {
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

void PreviewViewController::cancel() {
    stop_.request_stop();
    stop_ = std::stop_source();
}

void PreviewViewController::preparePreviewOfFile(const std::filesystem::path& at, CompletionHandler completionHandler) {
    mainLoop_.assertMainThread("PreviewViewController::preparePreviewOfFile");
    // Shared, so that it is still here to report a thread that could not be started.
    auto handler = std::make_shared<CompletionHandler>(std::move(completionHandler));
    auto answer = [this, shared = shared_, token = stop_.get_token(), handler](std::optional<LibraryBundle::LibraryPreview> preview,
                                                                               std::exception_ptr failure) {
        if (!failure && (!shared->controllerAlive || token.stop_requested()))
            failure = std::make_exception_ptr(platform::CancellationError());
        if (!failure) failure = show(*preview);
        (*handler)(failure);
    };
    try {
        if (startThreadHook_) startThreadHook_();
        // The reading thread owns what it uses (the store, the answer), so it may outlive the
        // controller; its answer is dropped on the main thread if the controller is gone.
        std::thread([shared = shared_, at, poster = mainLoop_.poster(), answer]() {
            std::optional<LibraryBundle::LibraryPreview> preview;
            std::exception_ptr failure;
            try {
                preview = shared->summaryStore.read(at);
            } catch (...) {
                failure = std::current_exception();
            }
            poster.post([answer, preview = std::move(preview), failure]() mutable { answer(std::move(preview), failure); });
        }).detach();
    } catch (...) {
        mainLoop_.post([handler, failure = std::current_exception()] { (*handler)(failure); });
    }
}

std::exception_ptr PreviewViewController::show(const LibraryBundle::LibraryPreview& preview) {
    // Everything that can fail is made in locals first; the controller changes only after.
    std::optional<LibraryPreviewContent> content;
    std::optional<LibraryPreviewView> view;
    std::string message;
    try {
        if (buildContentHook_) buildContentHook_();
        content.emplace(preview, preview.name);
        view.emplace(*content);
        bool summaryPresent = preview.summary.has_value();
        bool details = summaryPresent && preview.summary->details().has_value();
        message = std::string("Prepared library preview; summary present: ") + (summaryPresent ? "true" : "false") +
                  ", details: " + (details ? "true" : "false");
    } catch (...) {
        return std::current_exception();
    }
    preferredContentSize_ = content->contactSheet() ? sizeWithContactSheet : sizeWithoutContactSheet;
    content_ = std::move(*content);
    hosting_ = std::move(view);
    log_.notice(message);
    return nullptr;
}

}  // namespace oakenmere::BrightloftQuickLook
