#include "engines/RunWatchdog.h"

#include <algorithm>
#include <utility>

namespace korva::detail {

RunWatchdog::~RunWatchdog() {
    std::thread thread;
    try {
        MutexLock lock(mutex_);
        quit_ = true;
        thread.swap(thread_);
    } catch (...) {
        // Locking failed (system error); leave the thread to end with the process.
        return;
    }
    wake_.notify_all();
    if (thread.joinable()) thread.join();
}

std::uint64_t RunWatchdog::Arm(Clock::time_point deadline, std::function<void()> stop) {
    MutexLock lock(mutex_);
    runs_.reserve(runs_.size() + 1);  // the push below cannot throw after the thread starts
    if (!thread_.joinable()) thread_ = std::thread([this] { Watch(); });
    const std::uint64_t ticket = ++nextTicket_;
    runs_.push_back({ticket, deadline, std::move(stop), false});
    const bool sooner = deadline < wakeAt_;
    lock.Unlock();
    if (sooner) wake_.notify_one();
    return ticket;
}

bool RunWatchdog::Disarm(std::uint64_t ticket) {
    MutexLock lock(mutex_);
    const auto it = std::find_if(runs_.begin(), runs_.end(), [ticket](const Run& r) { return r.ticket == ticket; });
    if (it == runs_.end()) return false;
    const bool stopped = it->stopped;
    runs_.erase(it);
    return stopped;
}

void RunWatchdog::Watch() noexcept {
    try {
        MutexLock lock(mutex_);
        while (!quit_) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (Run& r : runs_) {
                if (r.stopped) continue;
                if (r.deadline <= now) {
                    r.stopped = true;
                    r.stop();
                } else {
                    next = std::min(next, r.deadline);
                }
            }
            wakeAt_ = next;
            if (next == Clock::time_point::max()) {
                wake_.wait(lock.ForWait());
            } else {
                wake_.wait_until(lock.ForWait(), next);
            }
            wakeAt_ = Clock::time_point::min();
        }
    } catch (...) {
        // A failed lock or wait (system error): the runs then go unwatched.
    }
}

}  // namespace korva::detail
