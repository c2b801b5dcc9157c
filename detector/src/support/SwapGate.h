// A writer-preferring shared lock for swapping the loaded model.
#pragma once

#include <condition_variable>

#include "support/Mutex.h"
#include "support/ThreadAnnotations.h"

namespace korva::detail {

// Inferences hold the gate shared and run together; loading, optimising and
// releasing hold it exclusively. A waiting exclusive holder blocks new shared
// holders, so a model swap is never starved by a steady stream of frames, and
// it waits for every inference in flight. Use it through ExclusiveGate and
// SharedGate, which the thread-safety analysis understands.
class KORVA_CAPABILITY("gate") SwapGate {
public:
    // Waits until no one holds the gate, then holds it alone.
    void lock() KORVA_ACQUIRE();
    void unlock() KORVA_RELEASE();
    // Waits until no exclusive holder holds or waits for the gate.
    void lock_shared() KORVA_ACQUIRE_SHARED();
    void unlock_shared() KORVA_RELEASE_SHARED();

private:
    Mutex mutex_;
    std::condition_variable changed_;
    int readers_ KORVA_GUARDED_BY(mutex_) = 0;
    int writersWaiting_ KORVA_GUARDED_BY(mutex_) = 0;
    bool writing_ KORVA_GUARDED_BY(mutex_) = false;
};

// Holds a SwapGate exclusively for a scope.
class KORVA_SCOPED_CAPABILITY ExclusiveGate {
public:
    explicit ExclusiveGate(SwapGate& gate) KORVA_ACQUIRE(gate) : gate_(gate) { gate_.lock(); }
    ~ExclusiveGate() KORVA_RELEASE() { gate_.unlock(); }
    ExclusiveGate(const ExclusiveGate&) = delete;
    ExclusiveGate& operator=(const ExclusiveGate&) = delete;

private:
    SwapGate& gate_;
};

// Holds a SwapGate shared for a scope.
class KORVA_SCOPED_CAPABILITY SharedGate {
public:
    explicit SharedGate(SwapGate& gate) KORVA_ACQUIRE_SHARED(gate) : gate_(gate) {
        gate_.lock_shared();
    }
    ~SharedGate() KORVA_RELEASE() { gate_.unlock_shared(); }
    SharedGate(const SharedGate&) = delete;
    SharedGate& operator=(const SharedGate&) = delete;

private:
    SwapGate& gate_;
};

}  // namespace korva::detail
