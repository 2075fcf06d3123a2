#pragma once
// The host's main thread as a queue of work: the user-interface objects live on it, and work
// started elsewhere comes back to it by posting. The thread that makes the loop is the main
// thread; it runs posted work while it waits.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace BrightloftQuickLook {

class MainRunLoop {
public:
    MainRunLoop();

    // From any thread.
    void post(std::function<void()> work);
    // On the main thread: runs posted work until `done` answers true.
    void runUntil(const std::function<bool()>& done);

    bool isMainThread() const noexcept { return std::this_thread::get_id() == mainThread_; }
    // User-interface code calls this first; off the main thread it reports and stops the program.
    void assertMainThread(const char* what) const;

private:
    std::thread::id mainThread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
};

}  // namespace BrightloftQuickLook
