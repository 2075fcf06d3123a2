#include "oakenmere/page_output.h"

#include <stdexcept>

#include "platform/atomic_write.h"
#include "platform/file_io.h"
#include "platform/file_uri.h"
#include "platform/process.h"
#include "platform/quoted.h"

namespace oakenmere::cli {

void writeTextFile(const std::filesystem::path& destination, const std::string& text) {
    auto folder = destination.has_parent_path() ? destination.parent_path() : std::filesystem::path(".");
    auto fd = platform::openDirectory(folder);
    platform::writeFileAtomically(fd, destination.filename().string(), platform::asBytes(text),
                                  "." + destination.filename().string() + "-", ".tmp");
}

void renderPng(const std::string& html, int width, int height, const std::filesystem::path& destination) {
    if (!platform::programExists("chromium"))
        throw std::runtime_error("Chromium is needed for --png; install the chromium package.");
    std::filesystem::path scratch = platform::makeTemporaryFolder("oakenmere-png-");
    writeTextFile(scratch / "page.html", html);
    // No network, no first-run work: the page needs nothing from outside.
    int status = platform::runProcess(
        {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync", "--hide-scrollbars",
         "--user-data-dir=" + (scratch / "profile").string(),
         "--window-size=" + std::to_string(width) + "," + std::to_string(height),
         "--screenshot=" + std::filesystem::absolute(destination).string(), platform::fileUri(scratch / "page.html")},
        true);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    if (status != 0) throw std::runtime_error("Chromium could not render the page (exit status " + std::to_string(status) + ").");
}

}  // namespace oakenmere::cli
