#include "oakenmere/page_output.h"

#include <stdexcept>
#include <system_error>

#include "platform/atomic_write.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/file_uri.h"
#include "platform/process.h"

namespace oakenmere::cli {

namespace {

namespace fs = std::filesystem;

// Far above any screenshot of a 640-point page.
constexpr std::int64_t kMaximumPngBytes = 64 << 20;

void replaceFile(const fs::path& destination, platform::ByteView bytes) {
    auto folder = destination.has_parent_path() ? destination.parent_path() : fs::path(".");
    platform::writeFileAtomically(platform::openDirectory(folder), destination.filename().string(), bytes,
                                  "." + destination.filename().string() + "-", ".tmp");
}

// Chromium's profile and the page it is shown are removed on every way out, interruption included.
struct ScratchFolder {
    fs::path path = platform::makeTemporaryFolder("oakenmere-png-");
    ScratchFolder() = default;
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() { platform::removeTreeIgnoringErrors(path); }
};

}  // namespace

void writeTextFile(const fs::path& destination, const std::string& text) { replaceFile(destination, platform::asBytes(text)); }

void renderPng(const std::string& html, int width, int height, const fs::path& destination, std::stop_token stop) {
    if (!platform::programExists("chromium")) throw std::runtime_error("Chromium is needed for --png; install the chromium package.");
    ScratchFolder scratch;
    writeTextFile(scratch.path / "page.html", html);
    // No network, no first-run work: the page needs nothing from outside. The screenshot lands
    // in the scratch folder first, so an interrupted Chromium never leaves half a picture.
    int status = platform::runProcess(
        {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--hide-scrollbars", "--user-data-dir=" + (scratch.path / "profile").string(),
         "--window-size=" + std::to_string(width) + "," + std::to_string(height), "--screenshot=" + (scratch.path / "page.png").string(),
         platform::fileUri(scratch.path / "page.html")},
        true, stop);
    platform::throwIfCancelled(stop);
    if (status != 0) throw std::runtime_error("Chromium could not render the page (exit status " + std::to_string(status) + ").");
    auto png = platform::lstatPath(scratch.path / "page.png")
                   ? platform::readNonEmptyRegularFileAt(platform::openDirectory(scratch.path), "page.png", kMaximumPngBytes)
                   : std::nullopt;
    if (!png) throw std::runtime_error("Chromium did not save a picture of the page.");
    replaceFile(destination, *png);
}

}  // namespace oakenmere::cli
