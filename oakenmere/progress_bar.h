#pragma once
// Progress of long file work on stderr: a one-line bar redrawn in place when stderr is a
// terminal, or, where asked, a plain line every few seconds when it is not (a log, a pipe).
// Drawn only for work large enough to be worth watching. A bar without a file count says
// "verifying" once every byte is copied, while the copy is flushed and read back.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace oakenmere::cli {

class ProgressBar {
public:
    struct Options {
        // Shown only for at least this many bytes.
        std::int64_t threshold = 8'000'000;
        // Periodic plain lines when stderr is not a terminal.
        bool linesWhenNotTerminal = false;
        // Bytes an earlier run already did; the rate and time left count only this run's.
        std::int64_t alreadyDone = 0;
    };
    struct Files {
        std::int64_t done, total;
    };

    ProgressBar(std::string label, std::int64_t total) : ProgressBar(std::move(label), total, Options{}) {}
    ProgressBar(std::string label, std::int64_t total, Options options);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // A bar redraws at most ten times a second, and at once when `done` reaches the total.
    void update(std::int64_t done, std::optional<Files> files = std::nullopt);
    // Clears the bar.
    void finish();

private:
    enum class Style { hidden, bar, lines };
    std::string numbers(std::int64_t done, const std::optional<Files>& files, bool plain) const;

    std::string label_;
    std::int64_t total_;
    std::int64_t alreadyDone_;
    Style style_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace oakenmere::cli
