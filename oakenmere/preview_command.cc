// `oakenmere preview LIBRARY`: the library's preview page, read without changing anything. The
// program acts as the preview host: it hands the package to the controller, waits on its main
// loop for the answer and shows the page the controller made.
#include <cstdio>
#include <optional>
#include <string>
#include <system_error>
#include <unistd.h>

#include "BrightloftQuickLook/html_renderer.h"
#include "BrightloftQuickLook/main_run_loop.h"
#include "BrightloftQuickLook/preview_view_controller.h"
#include "BrightloftQuickLook/terminal_renderer.h"
#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
#include "oakenmere/output.h"
#include "oakenmere/page_output.h"
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
        json["contactSheet"] = {{"bytes", preview.contactSheet->size()}, {"sha256", platform::Sha256::hexOf(*preview.contactSheet)}};
    return json;
}

// The store reports a missing or linked "Info.plist" as the system's error; to the user it is a
// folder that is not a library, as open and info say.
[[noreturn]] void failReading(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::system_error& error) {
        for (auto notALibrary :
             {std::errc::no_such_file_or_directory, std::errc::too_many_symbolic_link_levels, std::errc::not_a_directory})
            if (error.code() == notALibrary) throw LibraryBundle::LibraryBundleError::invalidBundle();
        throw;
    }
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
    if (failure) failReading(failure);
    return PreparedPage{*controller.hosting(), controller.preferredContentSize()};
}

void run(const PreviewOptions& options, std::stop_token stop) {
    if (options.json) {
        printJson(previewJson(readPreview(options.library)));
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
    BrightloftQuickLook::TerminalOptions terminal{columns ? std::min<std::size_t>(columns, 100) : 80, platform::wantsColour(STDOUT_FILENO)};
    printOut(BrightloftQuickLook::renderTerminal(page, terminal));
}

}  // namespace

LibraryBundle::LibraryPreview readPreview(const std::string& library) {
    try {
        return LibraryBundle::LibraryPreviewSummaryStore().read(library);
    } catch (...) {
        failReading(std::current_exception());
    }
}

void addPreviewCommand(CLI::App& app, const std::stop_token& stop) {
    auto* command = app.add_subcommand("preview", "Show a library's preview page without changing anything.");
    auto options = std::make_shared<PreviewOptions>();
    command->add_option("LIBRARY", options->library, "The library package (.oakenmere or .brightloft)")->required()->check(nonEmptyPath());
    auto* json = command->add_flag("--json", options->json, "Print the preview the library holds as JSON instead of the page");
    auto* html = command->add_option("--html", options->html, "Write the page as a self-contained HTML file")->check(nonEmptyPath());
    auto* png = command->add_option("--png", options->png, "Write a picture of the page (needs Chromium)")->check(nonEmptyPath());
    json->excludes(html)->excludes(png);
    html->excludes(png);
    command->callback([options, &stop] { run(*options, stop); });
}

}  // namespace oakenmere::cli
