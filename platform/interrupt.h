#pragma once
// Ctrl-C and termination requests turned into cooperative cancellation. While a watcher
// exists, SIGINT, SIGTERM and SIGHUP do not kill the process: they request a stop on the
// watcher's token, so long work can stop between steps without leaving anything half-done.
// Programs the process starts get default signal handling back (see process.h).
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
    // The signal that last asked any watcher of this process to stop, 0 if none has: the exit
    // status (128 + signal) is decided after the watcher is gone.
    static int lastSignal() noexcept;

private:
    sigset_t signals_{};
    sigset_t previous_{};
    std::stop_source stop_;
    std::atomic<int> received_{0};
    std::thread watcher_;
};

}  // namespace oakenmere::platform
