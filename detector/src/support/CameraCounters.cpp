#include "support/CameraCounters.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace korva::detail {
namespace {

// Room for a string rounding up its allocation beyond the bytes of id kept.
constexpr std::size_t kStringRounding = 32;
// A hash-table node: the value, a next pointer and a cached hash.
constexpr std::size_t kNodeOverhead = 2 * sizeof(void*);

}  // namespace

bool CameraCounters::Count(const std::string& cameraId, FrameOutcome outcome) noexcept {
    try {
        CameraKey key(cameraId);
        MutexLock lock(mutex_);
        auto it = cameras_.find(key);
        if (it == cameras_.end()) {
            if (cameras_.size() >= kMaxCameras) {
                // Only when a new camera comes to a full table.
                cameras_.erase(std::min_element(cameras_.begin(), cameras_.end(), [](const auto& a, const auto& b) {
                    return a.second.lastUse < b.second.lastUse;
                }));
            }
            it = cameras_.emplace(std::move(key), Entry{}).first;
        }
        ++it->second.counts[static_cast<std::size_t>(outcome)];
        it->second.lastUse = ++uses_;
        return true;
    } catch (...) {
        return false;
    }
}

std::vector<CameraCount> CameraCounters::Snapshot() const {
    std::vector<std::pair<std::uint64_t, CameraCount>> rows;
    {
        MutexLock lock(mutex_);
        rows.reserve(cameras_.size());
        for (const auto& [key, entry] : cameras_) {
            CameraCount c;
            c.idPrefix = key.prefix;
            c.idLength = key.length;
            std::copy(std::begin(entry.counts), std::end(entry.counts), c.counts);
            rows.emplace_back(entry.lastUse, std::move(c));
        }
    }
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<CameraCount> out;
    out.reserve(rows.size());
    for (auto& row : rows) out.push_back(std::move(row.second));
    return out;
}

std::size_t CameraCounters::Cameras() const {
    MutexLock lock(mutex_);
    return cameras_.size();
}

std::size_t CameraCounters::MaxBytesPerCamera() {
    return sizeof(Table::value_type) + kNodeOverhead + kCameraIdKept + kStringRounding + sizeof(void*);
}

}  // namespace korva::detail
