// `oakenmere preview LIBRARY`: the library's preview page, read without changing anything. The
// program acts as the preview host: it hands the package to the controller, waits on its main
// loop for the answer and shows the page the controller made.
#include <cstdio>
#include <optional>
#include <string>
#include <unistd.h>

#include "BrightloftQuickLook/HtmlRenderer.h"
#include "BrightloftQuickLook/MainRunLoop.h"
#include "BrightloftQuickLook/PreviewViewController.h"
#include "BrightloftQuickLook/TerminalRenderer.h"
#include "LibraryBundle/preview/LibraryPreviewSummaryStore.h"
#include "oakenmere/commands.h"
#include "oakenmere/page_output.h"
#include "platform/interrupt.h"
#include "platform/json.h"
#include "platform/sha256.h"
#include "platform/terminal.h"

namespace oakenmere::cli {

namespace {

using BrightloftQuickLook::PreviewViewController;

struct PreviewOptions {
    std::string library;
    bool json = false;
    std::string html;
    std::string png;
};

platform::Json previewJson(const LibraryBundle::LibraryPreview& preview) {
    platform::Json json = {{"name", preview.name}, {"summary", nullptr}, {"contactSheet", nullptr}};
    if (preview.summary) json["summary"] = platform::parseJson(platform::asBytes(preview.summary->encodeJSON()));
    if (preview.contactSheet)
        json["contactSheet"] = {{"bytes", preview.contactSheet->size()},
                                {"sha256", platform::Sha256::hexOf(*preview.contactSheet)}};
    return json;
}

struct PreparedPage {
    BrightloftQuickLook::LibraryPreviewView view;
    BrightloftQuickLook::Size size;
};

// Runs the controller the way the preview host does and keeps the page view it made.
PreparedPage preparePage(const std::string& library) {
    BrightloftQuickLook::MainRunLoop mainLoop;
    PreviewViewController controller(mainLoop);
    controller.loadView();
    bool done = false;
    std::exception_ptr failure;
    controller.preparePreviewOfFile(library, [&](std::exception_ptr error) {
        failure = error;
        done = true;
    });
    mainLoop.runUntil([&] { return done; });
    if (failure) std::rethrow_exception(failure);
    return PreparedPage{*controller.hosting(), controller.preferredContentSize()};
}

void run(const PreviewOptions& options, std::stop_token stop) {
    if (options.json) {
        LibraryBundle::LibraryPreviewSummaryStore store;
        std::printf("%s\n", platform::encodePrettyJson(previewJson(store.read(options.library))).c_str());
        return;
    }
    PreparedPage prepared = preparePage(options.library);
    const auto size = prepared.size;
    // The page refers to the view's content, which lives until the end of this function.
    auto page = prepared.view.body(size.width, size.height);
    if (!options.html.empty() || !options.png.empty()) {
        std::string html = BrightloftQuickLook::renderHtml(page, prepared.view.content().name());
        if (!options.html.empty()) writeTextFile(options.html, html);
        if (!options.png.empty()) renderPng(html, static_cast<int>(size.width), static_cast<int>(size.height), options.png, stop);
        return;
    }
    std::size_t columns = platform::terminalColumns(STDOUT_FILENO);
    BrightloftQuickLook::TerminalOptions terminal{columns ? std::min<std::size_t>(columns, 100) : 80,
                                                  platform::wantsColour(STDOUT_FILENO)};
    std::fputs(BrightloftQuickLook::renderTerminal(page, terminal).c_str(), stdout);
}

}  // namespace

void addPreviewCommand(CLI::App& app) {
    auto* command = app.add_subcommand("preview", "Show a library's preview page without changing anything.");
    auto options = std::make_shared<PreviewOptions>();
    command->add_option("LIBRARY", options->library, "The library package (.oakenmere or .brightloft)")->required();
    auto* json = command->add_flag("--json", options->json, "Print the preview the library holds as JSON instead of the page");
    auto* html = command->add_option("--html", options->html, "Write the page as a self-contained HTML file");
    auto* png = command->add_option("--png", options->png, "Write a picture of the page (needs Chromium)");
    json->excludes(html)->excludes(png);
    html->excludes(png);
    command->callback([options] {
        // Only Chromium is worth interrupting; the watcher comes before the reading thread starts.
        std::optional<platform::InterruptWatcher> interrupt;
        if (!options->png.empty()) interrupt.emplace();
        run(*options, interrupt ? interrupt->token() : std::stop_token());
    });
}

}  // namespace oakenmere::cli
