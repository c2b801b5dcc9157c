#include "detail/SwapGate.h"

namespace korva::detail {

void SwapGate::lock() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++writersWaiting_;
    changed_.wait(lock, [this] { return !writing_ && readers_ == 0; });
    --writersWaiting_;
    writing_ = true;
}

void SwapGate::unlock() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writing_ = false;
    }
    changed_.notify_all();
}

void SwapGate::lock_shared() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !writing_ && writersWaiting_ == 0; });
    ++readers_;
}

void SwapGate::unlock_shared() {
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = --readers_ == 0;
    }
    if (last) changed_.notify_all();
}

}  // namespace korva::detail
