// A writer-preferring shared lock for swapping the loaded model.
#pragma once

#include <condition_variable>
#include <mutex>

namespace korva::detail {

// Inferences hold the gate shared and run together; loading, optimising and
// releasing hold it exclusively. A waiting exclusive holder blocks new shared
// holders, so a model swap is never starved by a steady stream of frames, and
// it waits for every inference in flight. Meets the SharedMutex requirements
// used by std::shared_lock and std::unique_lock.
class SwapGate {
public:
    void lock();
    void unlock();
    void lock_shared();
    void unlock_shared();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int readers_ = 0;         // guarded by mutex_
    int writersWaiting_ = 0;  // guarded by mutex_
    bool writing_ = false;    // guarded by mutex_
};

}  // namespace korva::detail
