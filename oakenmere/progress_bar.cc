#include "oakenmere/progress_bar.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "platform/terminal.h"
#include "platform/text.h"

namespace oakenmere::cli {

ProgressBar::ProgressBar(std::string label, std::int64_t total, std::int64_t threshold)
    : label_(std::move(label)), total_(total), visible_(total >= threshold && platform::isTerminal(STDERR_FILENO)),
      start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::update(std::int64_t done) {
    if (!visible_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100) && done < total_) return;
    lastDraw_ = now;
    draw(done);
}

void ProgressBar::draw(std::int64_t done) {
    std::size_t columns = platform::terminalColumns(STDERR_FILENO);
    if (columns == 0) columns = 80;
    double fraction = total_ > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total_), 0.0, 1.0) : 1.0;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char numbers[64];
    if (done >= total_) std::snprintf(numbers, sizeof numbers, " verifying");
    else
        std::snprintf(numbers, sizeof numbers, " %3.0f%% %7.1f MB/s", fraction * 100,
                      seconds > 0 ? static_cast<double>(done) / 1e6 / seconds : 0.0);
    std::string label = label_;
    std::size_t barWidth = columns > 60 ? 30 : 10;
    std::size_t room = columns > barWidth + 24 ? columns - barWidth - 24 : 8;
    // A long path keeps its end, where the file's own name is.
    if (platform::displayWidth(label) > room) label = platform::withEllipsis(label, room, platform::Keep::end);
    auto filled = static_cast<std::size_t>(fraction * static_cast<double>(barWidth));
    std::string bar;
    for (std::size_t i = 0; i < barWidth; ++i) bar += i < filled ? "\u2588" : "\u2591";
    std::fprintf(stderr, "\r\x1b[2K%s %s%s", label.c_str(), bar.c_str(), numbers);
    std::fflush(stderr);
}

void ProgressBar::finish() {
    if (!visible_) return;
    std::fprintf(stderr, "\r\x1b[2K");
    std::fflush(stderr);
    visible_ = false;
}

}  // namespace oakenmere::cli
