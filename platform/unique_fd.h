#pragma once
// One owner per descriptor: closed exactly once, never copied.

namespace oakenmere::platform {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;

    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // For the platform layer's own system calls; callers above it never see the number.
    int get() const noexcept { return fd_; }
    int release() noexcept;
    // Closes now; a failing close is ignored because the descriptor is gone either way on Linux.
    void reset() noexcept;

private:
    int fd_ = -1;
};

}  // namespace oakenmere::platform
