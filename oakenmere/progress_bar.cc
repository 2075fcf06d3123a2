#include "oakenmere/progress_bar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

#include "platform/locale_format.h"
#include "platform/printable.h"
#include "platform/terminal.h"
#include "platform/text.h"

namespace oakenmere::cli {

namespace {

using Clock = std::chrono::steady_clock;

// 0:42, 12:05 or 1:02:03.
std::string duration(double seconds) {
    const auto whole = static_cast<long long>(std::ceil(seconds));
    char text[32];
    if (whole >= 3600) std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    else std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

}  // namespace

ProgressBar::ProgressBar(std::string label, std::int64_t total, Options options)
    // A path from anywhere may hold control characters; the terminal sees them escaped.
    : label_(platform::printable(label)), total_(total), alreadyDone_(options.alreadyDone), style_(Style::hidden), start_(Clock::now()),
      lastDraw_(start_) {
    if (total < options.threshold) return;
    if (platform::isTerminal(STDERR_FILENO)) style_ = Style::bar;
    else if (options.linesWhenNotTerminal) style_ = Style::lines;
}

ProgressBar::~ProgressBar() { finish(); }

std::string ProgressBar::numbers(std::int64_t done, const std::optional<Files>& files, bool plain) const {
    static const platform::LocaleFormat format;
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(std::max<std::int64_t>(done - alreadyDone_, 0)) / seconds : 0.0;
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.1f MB/s", rate / 1e6);
    std::string text;
    if (files) {
        text = format.integer(files->done) + (plain ? " of " : "/") + format.integer(files->total) + " files, " + format.fileSize(done) +
               (plain ? " of " : "/") + format.fileSize(total_);
    } else {
        if (done >= total_) return "verifying";
        char percent[16];
        std::snprintf(percent, sizeof percent, "%3.0f%%", 100.0 * static_cast<double>(done) / static_cast<double>(total_));
        text = percent;
    }
    text += std::string(files ? ", " : " ") + rateText;
    // Time left only once the rate has had a moment to settle.
    if (rate > 0 && seconds >= 2 && done < total_)
        text += (files ? ", " : " ") + duration(static_cast<double>(total_ - done) / rate) + " left";
    return text;
}

void ProgressBar::update(std::int64_t done, std::optional<Files> files) {
    if (style_ == Style::hidden) return;
    const auto now = Clock::now();
    if (style_ == Style::lines) {
        if (now - lastDraw_ < std::chrono::seconds(5)) return;
        lastDraw_ = now;
        std::fprintf(stderr, "%s: %s\n", label_.c_str(), numbers(done, files, true).c_str());
        std::fflush(stderr);
        return;
    }
    if (now - lastDraw_ < std::chrono::milliseconds(100) && done < total_) return;
    lastDraw_ = now;
    std::size_t columns = platform::terminalColumns(STDERR_FILENO);
    if (columns == 0) columns = 80;
    const std::string figures = " " + numbers(done, files, false);
    const double fraction = total_ > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total_), 0.0, 1.0) : 1.0;
    // The figures come first, then the label, and the bar takes what room is left (none on a
    // narrow terminal).
    std::string label = label_;
    const std::size_t figuresWidth = platform::displayWidth(figures);
    const std::size_t labelRoom = columns > figuresWidth + 9 ? columns - figuresWidth - 1 : 8;
    // A long path keeps its end, where the file's own name is.
    if (platform::displayWidth(label) > labelRoom) label = platform::withEllipsis(label, labelRoom, platform::Keep::end);
    const std::size_t used = platform::displayWidth(label) + figuresWidth + 2;
    const std::size_t barWidth = columns > used + 4 ? std::min<std::size_t>(columns - used - 1, 30) : 0;
    const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(barWidth));
    std::string bar;
    for (std::size_t i = 0; i < barWidth; ++i) bar += i < filled ? "\u2588" : "\u2591";
    std::fprintf(stderr, "\r\x1b[2K%s %s%s", label.c_str(), bar.c_str(), figures.c_str());
    std::fflush(stderr);
}

void ProgressBar::finish() {
    if (style_ == Style::bar) {
        std::fprintf(stderr, "\r\x1b[2K");
        std::fflush(stderr);
    }
    style_ = Style::hidden;
}

}  // namespace oakenmere::cli
