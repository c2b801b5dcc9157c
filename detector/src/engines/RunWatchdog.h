// Ends runs that outlive their deadline.
//
// A run arms the watchdog with its deadline and what stops it (for ONNX
// Runtime: setting the terminate flag of the run's own options), runs, and
// disarms it. One thread, started by the first Arm and joined by the
// destructor, sleeps until the earliest deadline in its table and calls the
// stop of every run past its own. Nothing is killed: the run sees the request
// and returns by itself, and its caller cleans up as after any failure.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "support/Mutex.h"
#include "support/ThreadAnnotations.h"

namespace korva::detail {

class RunWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    RunWatchdog() = default;
    RunWatchdog(const RunWatchdog&) = delete;
    RunWatchdog& operator=(const RunWatchdog&) = delete;
    // Stops the thread; every run must have been disarmed.
    ~RunWatchdog();

    // Registers a run: `stop` is called once, on the watchdog's thread and
    // with its lock held (so it must be short and not throw), when `deadline`
    // passes before Disarm. Returns the ticket for Disarm. Throws when the
    // thread cannot be started or memory runs out; nothing is armed then.
    std::uint64_t Arm(Clock::time_point deadline, std::function<void()> stop) KORVA_EXCLUDES(mutex_);

    // Forgets the run; true when its stop was called. Once it returns, the
    // stop is not running and never will.
    bool Disarm(std::uint64_t ticket) KORVA_EXCLUDES(mutex_);

private:
    struct Run {
        std::uint64_t ticket = 0;
        Clock::time_point deadline;
        std::function<void()> stop;
        bool stopped = false;
    };

    void Watch() noexcept KORVA_EXCLUDES(mutex_);

    Mutex mutex_;
    std::condition_variable wake_;
    std::vector<Run> runs_ KORVA_GUARDED_BY(mutex_);
    std::uint64_t nextTicket_ KORVA_GUARDED_BY(mutex_) = 0;
    // When the sleeping thread wakes by itself; an Arm for an earlier
    // deadline wakes it (min: it is not asleep).
    Clock::time_point wakeAt_ KORVA_GUARDED_BY(mutex_) = Clock::time_point::min();
    bool quit_ KORVA_GUARDED_BY(mutex_) = false;
    std::thread thread_ KORVA_GUARDED_BY(mutex_);
};

}  // namespace korva::detail
