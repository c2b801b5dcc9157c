#include "support/SwapGate.h"

namespace korva::detail {

void SwapGate::lock() {
    MutexLock lock(mutex_);
    ++writersWaiting_;
    while (writing_ || readers_ != 0) changed_.wait(lock.ForWait());
    --writersWaiting_;
    writing_ = true;
}

void SwapGate::unlock() {
    {
        MutexLock lock(mutex_);
        writing_ = false;
    }
    changed_.notify_all();
}

void SwapGate::lock_shared() {
    MutexLock lock(mutex_);
    while (writing_ || writersWaiting_ != 0) changed_.wait(lock.ForWait());
    ++readers_;
}

void SwapGate::unlock_shared() {
    bool last = false;
    {
        MutexLock lock(mutex_);
        last = --readers_ == 0;
    }
    if (last) changed_.notify_all();
}

}  // namespace korva::detail
