// Confirmation across frames: a detection is reported once its object has
// been seen in k of the last n frames of its camera.
//
// Objects are followed per camera id. Each frame, a camera's detections are
// matched one to one with its objects of the same class, pairs of highest
// overlap (IoU of the boxes, in normalised frame coordinates) first, ties in
// detection then object order; a pair below the association IoU never
// matches, so two objects that do not overlap that much never count for each
// other. A detection without a match starts a new object. An object not seen
// in its camera's last n frames is forgotten. Once confirmed, an object stays
// reported on every frame where it is seen, until it is forgotten. Reported
// detections keep their order and content.
//
// Memory is bounded. A camera id is kept whole up to 128 bytes; a longer one
// as its first 128 bytes, its length and a 128-bit hash of all of it (two
// independent 64-bit hashes), so ids that differ anywhere stay two cameras
// (but for a hash collision, about 2^-128 for a pair) and a camera costs the
// same whatever the length of its id. A camera follows at most `maxObjects`
// objects; a new one beyond that replaces the object seen longest ago
// (fewest sightings on a tie) among those not seen in this frame, and is not
// followed when every object was. At most `maxCameras` cameras are followed;
// a new one beyond that replaces the camera that ran a frame longest ago. A
// camera that has not run a frame for `expirySeconds` starts afresh on its
// next frame, as does one whose rule or `maxObjects` changes (so it never
// holds more objects than the limit in force). Both limits trade memory for
// forgetting, never for a crash or a wrong match.
//
// Per camera the tracker keeps at most MaxBytesPerCamera(maxObjects) (what
// StoredBytes counts): 56 bytes per object plus 336 for the camera (its key
// with up to 128 bytes of id and room for the string's rounding, its entry
// and state; g++ and clang++ on 64-bit), before about 100 bytes of the
// allocator's own. That is 3,920 bytes at the default 64 objects and 57,680
// at 1024: 256 cameras of 64 objects keep under 1 MiB, the largest settings
// (4096 cameras of 1024 objects) about 225 MiB, whatever the camera ids.
//
// Threads. Cameras are independent: each has its own state and lock, and the
// shared table of cameras is locked only to find or add one. A camera's
// results depend only on its own frames, in the order they reach the tracker
// (and on the expiry and limits above). One camera id fed from two threads at
// once is serialised by its lock: its frames are counted one at a time in the
// order the threads get there, which for concurrent inferences is whichever
// finishes first, so such a camera is deterministic only if its host orders
// its frames.
//
// Off until configured; which k of n to ask for is the host's trade. On three
// held-out rendered videos (900 frames, 15 weapons, the demo model at 0.6),
// 2 of 3 cut false alarms (false positives linked across frames) from 22 to
// 15 for one frame of delay and 2 points of per-frame recall; 3 of 5 to 14,
// 4 of 6 to 9 for 3 and 4 frames; every weapon was still reported. A
// persistent look-alike (a distractor taken for a knife for a whole shot)
// survives any k of n: that is what class thresholds are for.
//
// Defaults. IoU 0.3: a handheld weapon's box moves and changes shape from
// frame to frame far more than a person's, so a stricter match would split
// one weapon into several objects that each start counting afresh; boxes of
// two different weapons rarely overlap that much. Expiry 60 s: long after any
// gap within a stream (a camera's frames come at least every few seconds),
// short enough that a camera taken off the host frees its state soon.
// 256 cameras and 64 objects per camera: more than one host process serves,
// and about 4 KiB per camera.
//
// Record entries (valueListEntries):
//   "confirm_frames"       textB = camera id or "*" (every camera without an
//                          entry of its own), wideValues = {k, n}: integers,
//                          1 <= k <= n <= 64; {1, 1} switches it off
//   "confirm_iou"          wideValues = {association IoU in (0, 1]}
//   "confirm_expiry_s"     wideValues = {seconds in (0, 86400]}
//   "confirm_max_cameras"  wideValues = {integer in [1, 4096]}
//   "confirm_max_objects"  wideValues = {integer in [1, 1024]}
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>

#include "korva/CustomObject.h"
#include "support/CameraKey.h"

namespace korva::detail {

inline constexpr const char* kKeyConfirmFrames = "confirm_frames";
inline constexpr const char* kKeyConfirmIou = "confirm_iou";
inline constexpr const char* kKeyConfirmExpiry = "confirm_expiry_s";
inline constexpr const char* kKeyConfirmMaxCameras = "confirm_max_cameras";
inline constexpr const char* kKeyConfirmMaxObjects = "confirm_max_objects";
inline constexpr int kMaxConfirmWindow = 64;

struct ConfirmationRule {
    int k = 1;  // sightings needed ...
    int n = 1;  // ... within this many of the camera's last frames
    bool Active() const { return k > 1; }
    bool operator==(const ConfirmationRule& o) const { return k == o.k && n == o.n; }
};

struct ConfirmationSettings {
    std::map<std::string, ConfirmationRule> cameras;  // camera id or "*"
    double iou = 0.3;
    double expirySeconds = 60.0;
    int maxCameras = 256;
    int maxObjects = 64;

    // The rule of `cameraId`: its own, else that of "*", else off.
    ConfirmationRule For(const std::string& cameraId) const;
    // True when no camera has an active rule.
    bool Empty() const;

    // Entry by entry: false with a reason when the values do not fit (or
    // the camera has a rule already); nothing changes then.
    bool AddCamera(const std::string& cameraId, const std::vector<double>& values, std::string& reason);
    bool SetIou(const std::vector<double>& values, std::string& reason);
    bool SetExpiry(const std::vector<double>& values, std::string& reason);
    bool SetMaxCameras(const std::vector<double>& values, std::string& reason);
    bool SetMaxObjects(const std::vector<double>& values, std::string& reason);
};

class ConfirmationTracker {
public:
    using Clock = std::chrono::steady_clock;

    // Counts one frame of `cameraId` (of `frameSize` pixels) and returns the
    // detections whose objects are confirmed. Without an active rule for the
    // camera, returns `detections` unchanged and keeps no state for it.
    std::vector<CustomObject> Apply(const ConfirmationSettings& settings, const std::string& cameraId,
                                    cv::Size frameSize, std::vector<CustomObject> detections,
                                    Clock::time_point now);

    // Forgets every camera.
    void Clear();
    // Cameras followed now.
    std::size_t CameraCount() const;
    // Bytes kept for the cameras followed now: ids, state and objects (the
    // allocator's own overhead aside).
    std::size_t StoredBytes() const;
    // The most StoredBytes counts for one camera following `maxObjects`.
    static std::size_t MaxBytesPerCamera(int maxObjects);

private:
    // A camera id as kept (see above).
    using KeyHash = CameraKeyHash;
    struct Track {
        int classId = 0;
        cv::Rect2d box;              // normalised, where it was last seen
        std::uint64_t history = 0;   // bit i: seen i frames ago
        bool confirmed = false;
    };
    struct Camera {
        std::mutex mutex;
        ConfirmationRule rule;      // guarded by mutex
        double iou = 0.0;           // guarded by mutex
        int maxObjects = 0;         // guarded by mutex
        std::vector<Track> tracks;  // guarded by mutex
    };
    struct Entry {
        std::shared_ptr<Camera> camera;
        Clock::time_point lastFrame;
        std::uint64_t lastUse = 0;
    };

    std::shared_ptr<Camera> Find(const ConfirmationSettings& settings, const CameraKey& key,
                                 Clock::time_point now);
    static std::vector<CustomObject> Update(Camera& camera, int maxObjects, cv::Size frameSize,
                                            std::vector<CustomObject> detections);

    mutable std::mutex mutex_;
    std::unordered_map<CameraKey, Entry, KeyHash> cameras_;  // guarded by mutex_
    std::uint64_t uses_ = 0;                          // guarded by mutex_
};

}  // namespace korva::detail
