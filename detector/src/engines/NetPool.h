// A pool of independent network instances built from one in-memory model.
//
// A cv::dnn::Net is not safe to drive from two threads at once (it returns
// garbage), so each concurrent inference leases a Net of its own together
// with its scratch buffers. Nets are created on demand up to a limit; when
// all are busy, callers wait for one to come back.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include <opencv2/dnn.hpp>

#include "support/Mutex.h"
#include "support/ThreadAnnotations.h"

namespace korva::detail {

// A network with its output buffers. Used by one thread at a time.
struct NetSlot {
    cv::dnn::Net net;
    std::vector<cv::Mat> outputs;
};

class NetPool {
public:
    using Factory = std::function<cv::dnn::Net()>;

    // `first` is an already created (and warmed) network; `factory` makes the
    // others. At most `capacity` networks exist at once.
    NetPool(cv::dnn::Net first, Factory factory, std::size_t capacity);
    NetPool(const NetPool&) = delete;
    NetPool& operator=(const NetPool&) = delete;

    // Exclusive use of one slot until destroyed.
    class Lease {
    public:
        Lease(NetPool& pool, NetSlot& slot) : pool_(&pool), slot_(&slot) {}
        Lease(Lease&& other) noexcept : pool_(other.pool_), slot_(other.slot_) { other.pool_ = nullptr; }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Lease& operator=(Lease&&) = delete;
        ~Lease() {
            if (pool_ != nullptr) pool_->Release(*slot_);
        }
        NetSlot& operator*() const { return *slot_; }
        NetSlot* operator->() const { return slot_; }

    private:
        NetPool* pool_;
        NetSlot* slot_;
    };

    // Takes an idle slot, creates one if below capacity, else waits. Throws
    // what the factory (or the allocation of a slot) throws; the place of the
    // slot that could not be made stays free for a later call.
    Lease Acquire() KORVA_EXCLUDES(mutex_);

    std::size_t Capacity() const { return capacity_; }

private:
    // Never throws: `idle_` has room for every slot from the start.
    void Release(NetSlot& slot) noexcept KORVA_EXCLUDES(mutex_);

    const Factory factory_;
    const std::size_t capacity_;
    Mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<NetSlot>> slots_ KORVA_GUARDED_BY(mutex_);
    std::vector<NetSlot*> idle_ KORVA_GUARDED_BY(mutex_);  // capacity_ reserved
    std::size_t creating_ KORVA_GUARDED_BY(mutex_) = 0;
};

// Default pool capacity: one network per hardware thread, at most 8.
std::size_t DefaultPoolCapacity();

}  // namespace korva::detail
