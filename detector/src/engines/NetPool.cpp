#include "engines/NetPool.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "engines/EngineRequest.h"

namespace korva::detail {

NetPool::NetPool(cv::dnn::Net first, Factory factory, std::size_t capacity)
    : factory_(std::move(factory)), capacity_(std::max<std::size_t>(capacity, 1)) {
    auto slot = std::make_unique<NetSlot>();
    slot->net = std::move(first);
    MutexLock lock(mutex_);
    slots_.reserve(capacity_);
    idle_.reserve(capacity_);
    idle_.push_back(slot.get());
    slots_.push_back(std::move(slot));
}

NetPool::Lease NetPool::Acquire() {
    MutexLock lock(mutex_);
    for (;;) {
        if (!idle_.empty()) {
            NetSlot* slot = idle_.back();
            idle_.pop_back();
            return Lease(*this, *slot);
        }
        if (slots_.size() + creating_ < capacity_) break;
        returned_.wait(lock.ForWait());
    }

    // Build the new network outside the lock: it takes a while. Whatever
    // throws on the way gives the place back.
    ++creating_;
    lock.Unlock();
    std::unique_ptr<NetSlot> slot;
    try {
        slot = std::make_unique<NetSlot>();
        slot->net = factory_();
    } catch (...) {
        lock.Lock();
        --creating_;
        lock.Unlock();
        returned_.notify_one();
        throw;
    }
    lock.Lock();
    --creating_;
    NetSlot* raw = slot.get();
    slots_.push_back(std::move(slot));  // within the reserved capacity: no allocation
    return Lease(*this, *raw);
}

void NetPool::Release(NetSlot& slot) noexcept {
    {
        MutexLock lock(mutex_);
        idle_.push_back(&slot);  // within the reserved capacity: no allocation
    }
    returned_.notify_one();
}

std::size_t DefaultPoolCapacity() {
    const unsigned hw = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(hw == 0 ? 1 : hw, 1, kMaxDefaultThreads);
}

}  // namespace korva::detail
