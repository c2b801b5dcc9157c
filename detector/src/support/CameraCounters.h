// Frames by what became of them, per camera id.
//
// Cameras are keyed as CameraKey keeps them (ids over 128 bytes by prefix,
// length and hash). At most kMaxCameras cameras are counted; a new one beyond
// that replaces the camera whose last frame is the oldest, which starts
// afresh if it comes back. Per camera the table keeps at most
// MaxBytesPerCamera() bytes (key with up to 128 bytes of id and room for the
// string's rounding, counters, hash-table node and bucket; g++ and clang++ on
// 64-bit), before the allocator's own: 280 bytes, so the full table (280 KiB)
// stays under 300 KiB whatever the camera ids.
//
// Threads. One short lock per frame: hash the id (before the lock), find or
// add the camera, add one. Snapshot copies the table under the same lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/CameraKey.h"
#include "support/Mutex.h"
#include "support/ThreadAnnotations.h"

namespace korva::detail {

enum class FrameOutcome { kInspected, kRefusedNoModel, kRefusedUnsupported, kFailed };
inline constexpr std::size_t kFrameOutcomes = 4;

struct CameraCount {
    std::string idPrefix;        // the first kCameraIdKept bytes of the id
    std::uint64_t idLength = 0;  // of the whole id
    std::uint64_t counts[kFrameOutcomes] = {0, 0, 0, 0};  // by FrameOutcome
};

class CameraCounters {
public:
    static constexpr std::size_t kMaxCameras = 1024;

    // Counts one frame of `cameraId`. False only when no memory was left for
    // a new camera (the frame is then not counted for it).
    bool Count(const std::string& cameraId, FrameOutcome outcome) noexcept KORVA_EXCLUDES(mutex_);
    // Every camera counted now, most recently seen first.
    std::vector<CameraCount> Snapshot() const KORVA_EXCLUDES(mutex_);
    // Cameras counted now.
    std::size_t Cameras() const KORVA_EXCLUDES(mutex_);
    // The most bytes one camera keeps (see above).
    static std::size_t MaxBytesPerCamera();

private:
    struct Entry {
        std::uint64_t counts[kFrameOutcomes] = {0, 0, 0, 0};
        std::uint64_t lastUse = 0;
    };
    using Table = std::unordered_map<CameraKey, Entry, CameraKeyHash>;

    mutable Mutex mutex_;
    Table cameras_ KORVA_GUARDED_BY(mutex_);
    std::uint64_t uses_ KORVA_GUARDED_BY(mutex_) = 0;
};

}  // namespace korva::detail
