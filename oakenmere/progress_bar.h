#pragma once
// A one-line progress bar on stderr for long file work, drawn only when stderr is a terminal
// and the work is large enough to be worth watching. Once every byte is copied it says
// "verifying" while the copy is flushed and read back.
#include <chrono>
#include <cstdint>
#include <string>

namespace oakenmere::cli {

class ProgressBar {
public:
    // Shown only for at least `threshold` bytes and when stderr is a terminal.
    ProgressBar(std::string label, std::int64_t total, std::int64_t threshold = 8'000'000);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Redraws at most ten times a second, and at once when `done` reaches the total.
    void update(std::int64_t done);
    // Clears the line.
    void finish();

private:
    void draw(std::int64_t done);

    std::string label_;
    std::int64_t total_;
    bool visible_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace oakenmere::cli
