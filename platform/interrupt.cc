#include "platform/interrupt.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <exception>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace oakenmere::platform {

namespace {

std::atomic<int> lastReceived{0};

// Registered tidying, by ticket; the mutex keeps a tidy and its guard's end apart.
std::mutex tidyMutex;
std::map<std::uint64_t, std::function<void()>> tidies;
std::uint64_t nextTicket = 0;

void runTidies() noexcept {
    std::lock_guard lock(tidyMutex);
    for (const auto& [ticket, tidy] : tidies) tidy();
}

// Blocks the signals in the calling thread (and the threads it starts later) and turns each into
// a stop request, from a thread of its own that waits for them.
class SignalWatcher {
public:
    SignalWatcher() {
        sigemptyset(&signals_);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals_, signal);  // SIGUSR1 only wakes it
        pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
        thread_ = std::thread([this] {
            int signal = 0;
            while (sigwait(&signals_, &signal) == 0) {
                if (signal == SIGUSR1) {
                    if (finished_) return;
                    continue;
                }
                lastReceived = signal;
                stop_.request_stop();
            }
        });
    }
    ~SignalWatcher() {
        finished_ = true;
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    std::stop_token token() const { return stop_.get_token(); }

private:
    sigset_t signals_{};
    sigset_t previous_{};
    std::stop_source stop_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace

AbandonTidy::AbandonTidy(std::function<void()> tidy) {
    std::lock_guard lock(tidyMutex);
    id_ = nextTicket++;
    tidies.emplace(id_, std::move(tidy));
}

AbandonTidy::~AbandonTidy() {
    std::lock_guard lock(tidyMutex);
    tidies.erase(id_);
}

int lastInterruptSignal() noexcept { return lastReceived; }

void runInterruptibly(const std::function<void(std::stop_token)>& work, const std::function<void()>& abandon,
                      std::chrono::milliseconds grace) {
    SignalWatcher watcher;
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::exception_ptr failure;
    const auto notify = [&] {
        std::lock_guard lock(mutex);
        changed.notify_all();
    };
    std::stop_callback wake(watcher.token(), notify);
    std::thread worker([&] {
        try {
            work(watcher.token());
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(mutex);
        done = true;
        changed.notify_all();
    });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return done || watcher.token().stop_requested(); });
        if (!changed.wait_for(lock, grace, [&] { return done; })) {
            // The worker cannot be joined, and leaving this scope would join it: end here.
            lock.unlock();
            runTidies();
            abandon();
            ::_exit(128 + lastReceived);
        }
    }
    worker.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace oakenmere::platform
