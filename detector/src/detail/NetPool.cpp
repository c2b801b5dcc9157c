#include "detail/NetPool.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace korva::detail {

NetPool::NetPool(cv::dnn::Net first, Factory factory, std::size_t capacity)
    : factory_(std::move(factory)), capacity_(std::max<std::size_t>(capacity, 1)) {
    auto slot = std::make_unique<NetSlot>();
    slot->net = std::move(first);
    idle_.push_back(slot.get());
    slots_.push_back(std::move(slot));
}

NetPool::Lease NetPool::Acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!idle_.empty()) {
            NetSlot* slot = idle_.back();
            idle_.pop_back();
            return Lease(*this, *slot);
        }
        if (slots_.size() + creating_ < capacity_) break;
        returned_.wait(lock);
    }

    // Build the new network outside the lock: it takes a while.
    ++creating_;
    lock.unlock();
    auto slot = std::make_unique<NetSlot>();
    try {
        slot->net = factory_();
    } catch (...) {
        lock.lock();
        --creating_;
        lock.unlock();
        returned_.notify_one();
        throw;
    }
    lock.lock();
    --creating_;
    NetSlot* raw = slot.get();
    slots_.push_back(std::move(slot));
    return Lease(*this, *raw);
}

void NetPool::Release(NetSlot& slot) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_.push_back(&slot);
    }
    returned_.notify_one();
}

std::size_t DefaultPoolCapacity() {
    const unsigned hw = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(hw == 0 ? 1 : hw, 1, 8);
}

}  // namespace korva::detail
