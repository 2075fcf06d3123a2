#pragma once
// Ctrl-C and termination requests turned into cooperative cancellation. While a watcher
// exists, SIGINT, SIGTERM and SIGHUP do not kill the process: they request a stop on the
// watcher's token, so long work can stop between steps without leaving anything half-done.
// Make the watcher before starting other threads, so that they inherit the blocked signals.
#include <atomic>
#include <csignal>
#include <stop_token>
#include <thread>

namespace oakenmere::platform {

class InterruptWatcher {
public:
    InterruptWatcher();
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    std::stop_token token() const { return stop_.get_token(); }
    // Blocks until a stop is requested; returns the signal that asked for it.
    int wait();

private:
    sigset_t signals_{};
    sigset_t previous_{};
    std::stop_source stop_;
    std::atomic<int> received_{0};
    std::thread watcher_;
};

}  // namespace oakenmere::platform
