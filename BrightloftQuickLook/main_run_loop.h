#pragma once
// The host's main thread as a queue of work: the user-interface objects live on it, and work
// started elsewhere comes back to it by posting. The thread that makes the loop is the main
// thread; it runs posted work while it waits.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace oakenmere::BrightloftQuickLook {

class MainRunLoop {
    struct Queue {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> work;
    };

public:
    // A way to post that may outlive the loop: work posted after the loop is gone never runs.
    class Poster {
    public:
        void post(std::function<void()> work) const;

    private:
        friend class MainRunLoop;
        explicit Poster(std::shared_ptr<Queue> queue) : queue_(std::move(queue)) {}
        std::shared_ptr<Queue> queue_;
    };

    MainRunLoop();

    // From any thread.
    void post(std::function<void()> work) { poster().post(std::move(work)); }
    Poster poster() const { return Poster(queue_); }
    // On the main thread: runs posted work until `done` answers true.
    void runUntil(const std::function<bool()>& done);

    bool isMainThread() const noexcept { return std::this_thread::get_id() == mainThread_; }
    // User-interface code calls this first; off the main thread it reports and stops the program.
    void assertMainThread(const char* what) const;

private:
    std::thread::id mainThread_;
    std::shared_ptr<Queue> queue_;
};

}  // namespace oakenmere::BrightloftQuickLook
