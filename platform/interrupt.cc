#include "platform/interrupt.h"

#include <condition_variable>
#include <mutex>
#include <pthread.h>

namespace oakenmere::platform {

namespace {
std::atomic<int> lastReceived{0};
}  // namespace

int InterruptWatcher::lastSignal() noexcept { return lastReceived; }

InterruptWatcher::InterruptWatcher() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGHUP);
    sigaddset(&signals_, SIGUSR1);  // used only to wake the watcher when it is no longer needed
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    watcher_ = std::thread([this] {
        int signal = 0;
        while (sigwait(&signals_, &signal) == 0) {
            if (signal == SIGUSR1 && stop_.stop_requested()) return;
            if (signal == SIGUSR1) continue;
            lastReceived = signal;
            received_ = signal;
            stop_.request_stop();
            received_.notify_all();
        }
    });
}

InterruptWatcher::~InterruptWatcher() {
    stop_.request_stop();
    pthread_kill(watcher_.native_handle(), SIGUSR1);
    watcher_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int InterruptWatcher::wait() {
    received_.wait(0);
    return received_;
}

}  // namespace oakenmere::platform
