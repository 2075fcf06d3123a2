#include "BrightloftQuickLook/main_run_loop.h"

#include <cstdio>
#include <cstdlib>

namespace oakenmere::BrightloftQuickLook {

MainRunLoop::MainRunLoop() : mainThread_(std::this_thread::get_id()), queue_(std::make_shared<Queue>()) {}

void MainRunLoop::Poster::post(std::function<void()> work) const {
    std::lock_guard lock(queue_->mutex);
    queue_->work.push_back(std::move(work));
    queue_->wake.notify_one();
}

void MainRunLoop::runUntil(const std::function<bool()>& done) {
    assertMainThread("MainRunLoop::runUntil");
    while (!done()) {
        std::function<void()> work;
        {
            std::unique_lock lock(queue_->mutex);
            queue_->wake.wait(lock, [this] { return !queue_->work.empty(); });
            work = std::move(queue_->work.front());
            queue_->work.pop_front();
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

}  // namespace oakenmere::BrightloftQuickLook
