#pragma once
// Ctrl-C and termination requests turned into cooperative cancellation, with the program still
// answering them when the work cannot. While a run lasts, SIGINT, SIGTERM and SIGHUP do not kill
// the process: they request a stop on the work's token, so long work can stop between steps
// without leaving anything half-done. Programs the process starts get default signal handling
// back (see process.h).
#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>

namespace oakenmere::platform {

// Runs `work` on a worker thread while the calling thread answers the signals. Work that ends,
// or ends within `grace` of a signal, ends the run as usual: its exception (CancellationError for
// a stop it noticed) is rethrown here. Work still running then is stuck in a call that no stop
// reaches (a read of a pipe nobody writes, a long flush): the tidying it registered with
// AbandonTidy runs, then `abandon`, both on this thread, and the process exits at once with
// 128 + signal, as a shell reports a program a signal ended. Call it before starting other threads, so that they inherit the blocked signals.
void runInterruptibly(const std::function<void(std::stop_token)>& work, const std::function<void()>& abandon,
                      std::chrono::milliseconds grace = std::chrono::milliseconds(500));

// Tidying that must happen even if a run is abandoned, as long as this object lives: a temporary
// file being written must not outlive the process. `tidy` must not throw; it never runs at the
// same time as this object's destructor, so what it uses may go once the object is gone.
class AbandonTidy {
public:
    explicit AbandonTidy(std::function<void()> tidy);
    ~AbandonTidy();
    AbandonTidy(const AbandonTidy&) = delete;
    AbandonTidy& operator=(const AbandonTidy&) = delete;

private:
    std::uint64_t id_;
};

// The signal that last asked a run of this process to stop, 0 if none has: the exit status
// (128 + signal) is decided after the run is over.
int lastInterruptSignal() noexcept;

}  // namespace oakenmere::platform
