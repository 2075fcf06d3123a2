#pragma once
// Where a rendered preview page goes besides the terminal: an HTML file, or a PNG picture of
// it taken by headless Chromium.
#include <filesystem>
#include <stop_token>
#include <string>

namespace oakenmere::cli {

// Replaces `destination` whole (a temporary file renamed over it).
void writeTextFile(const std::filesystem::path& destination, const std::string& text);
// Renders `html` in headless Chromium (the `chromium` found in PATH) at the given window size
// and replaces `destination` whole with the screenshot. A stop requested on `stop` ends
// Chromium and throws CancellationError; the scratch folder under $TMPDIR is removed whatever
// happens and `destination` is left as it was.
void renderPng(const std::string& html, int width, int height, const std::filesystem::path& destination, std::stop_token stop);

}  // namespace oakenmere::cli
