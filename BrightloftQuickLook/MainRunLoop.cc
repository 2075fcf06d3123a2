#include "BrightloftQuickLook/MainRunLoop.h"

#include <cstdio>
#include <cstdlib>

namespace BrightloftQuickLook {

MainRunLoop::MainRunLoop() : mainThread_(std::this_thread::get_id()) {}

void MainRunLoop::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void MainRunLoop::runUntil(const std::function<bool()>& done) {
    assertMainThread("MainRunLoop::runUntil");
    while (!done()) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return !queue_.empty(); });
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
    }
}

void MainRunLoop::assertMainThread(const char* what) const {
    if (!isMainThread()) {
        std::fprintf(stderr, "%s must be called on the main thread\n", what);
        std::abort();
    }
}

}  // namespace BrightloftQuickLook
