#pragma once
// Where a rendered preview page goes besides the terminal: an HTML file, or a PNG picture of
// it taken by headless Chromium.
#include <filesystem>
#include <string>

namespace oakenmere::cli {

// Replaces `destination` whole (a temporary file renamed over it).
void writeTextFile(const std::filesystem::path& destination, const std::string& text);
// Renders `html` in headless Chromium at the given window size and saves a screenshot.
void renderPng(const std::string& html, int width, int height, const std::filesystem::path& destination);

}  // namespace oakenmere::cli
