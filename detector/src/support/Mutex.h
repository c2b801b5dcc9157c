// A std::mutex the thread-safety analysis can see, and its scoped lock.
//
// libstdc++'s std::mutex carries no capability attributes, so members guarded
// by one cannot be checked. Mutex adds them; MutexLock holds it for a scope
// and hands out the underlying std::unique_lock for condition variables.
#pragma once

#include <mutex>

#include "support/ThreadAnnotations.h"

namespace korva::detail {

class KORVA_CAPABILITY("mutex") Mutex {
public:
    void lock() KORVA_ACQUIRE() { mutex_.lock(); }
    void unlock() KORVA_RELEASE() { mutex_.unlock(); }
    // The wrapped mutex, for std::unique_lock.
    std::mutex& Native() { return mutex_; }

private:
    std::mutex mutex_;
};

class KORVA_SCOPED_CAPABILITY MutexLock {
public:
    // Locks `mutex` until destruction (or Unlock).
    explicit MutexLock(Mutex& mutex) KORVA_ACQUIRE(mutex) : lock_(mutex.Native()) {}
    ~MutexLock() KORVA_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Releases the mutex early; Lock takes it again.
    void Unlock() KORVA_RELEASE() { lock_.unlock(); }
    void Lock() KORVA_ACQUIRE() { lock_.lock(); }
    // For std::condition_variable::wait, which gives the mutex up and takes
    // it back before returning.
    std::unique_lock<std::mutex>& ForWait() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace korva::detail
