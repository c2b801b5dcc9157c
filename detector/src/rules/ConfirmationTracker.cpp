#include "rules/ConfirmationTracker.h"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <tuple>

namespace korva::detail {
namespace {

double Iou(const cv::Rect2d& a, const cv::Rect2d& b) {
    const double inter = (a & b).area();
    const double uni = a.area() + b.area() - inter;
    return uni > 0.0 ? inter / uni : 0.0;
}

int Sightings(std::uint64_t history) { return static_cast<int>(std::bitset<64>(history).count()); }

// Frames since the last sighting (64 when none is remembered).
int Age(std::uint64_t history) {
    for (int i = 0; i < 64; ++i) {
        if (history & (std::uint64_t{1} << i)) return i;
    }
    return 64;
}

std::uint64_t WindowMask(int n) {
    return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// Room for a string rounding up its allocation beyond the bytes of id kept.
constexpr std::size_t kStringRounding = 32;

}  // namespace

namespace {

bool ReadNumber(const std::vector<double>& values, double low, double high, bool lowOpen, bool integer,
                double& out, std::string& reason) {
    if (values.size() != 1) {
        reason = "expects one number, got " + std::to_string(values.size());
        return false;
    }
    const double v = values.front();
    const bool inRange = std::isfinite(v) && (lowOpen ? v > low : v >= low) && v <= high;
    if (!inRange || (integer && v != std::floor(v))) {
        char text[96];
        std::snprintf(text, sizeof text, "must be %s %s %g to %g", integer ? "a whole number" : "a number",
                      lowOpen ? "above" : "from", low, high);
        reason = text;
        return false;
    }
    out = v;
    return true;
}

}  // namespace

ConfirmationRule ConfirmationSettings::For(const std::string& cameraId) const {
    auto it = cameras.find(cameraId);
    if (it == cameras.end()) it = cameras.find("*");
    return it == cameras.end() ? ConfirmationRule{} : it->second;
}

bool ConfirmationSettings::Empty() const {
    return std::none_of(cameras.begin(), cameras.end(),
                        [](const auto& c) { return c.second.Active(); });
}

bool ConfirmationSettings::AddCamera(const std::string& cameraId, const std::vector<double>& v,
                                     std::string& reason) {
    const bool integers = v.size() == 2 && std::isfinite(v[0]) && std::isfinite(v[1]) &&
                          v[0] == std::floor(v[0]) && v[1] == std::floor(v[1]);
    if (!integers || v[0] < 1 || v[0] > v[1] || v[1] > kMaxConfirmWindow) {
        reason = "expects {k, n}: whole numbers with 1 <= k <= n <= " + std::to_string(kMaxConfirmWindow);
        return false;
    }
    if (cameras.count(cameraId) != 0) {
        reason = "the camera has a rule already";
        return false;
    }
    cameras[cameraId] = ConfirmationRule{static_cast<int>(v[0]), static_cast<int>(v[1])};
    return true;
}

bool ConfirmationSettings::SetIou(const std::vector<double>& values, std::string& reason) {
    return ReadNumber(values, 0.0, 1.0, true, false, iou, reason);
}

bool ConfirmationSettings::SetExpiry(const std::vector<double>& values, std::string& reason) {
    return ReadNumber(values, 0.0, 86400.0, true, false, expirySeconds, reason);
}

bool ConfirmationSettings::SetMaxCameras(const std::vector<double>& values, std::string& reason) {
    double v = 0.0;
    if (!ReadNumber(values, 1.0, 4096.0, false, true, v, reason)) return false;
    maxCameras = static_cast<int>(v);
    return true;
}

bool ConfirmationSettings::SetMaxObjects(const std::vector<double>& values, std::string& reason) {
    double v = 0.0;
    if (!ReadNumber(values, 1.0, 1024.0, false, true, v, reason)) return false;
    maxObjects = static_cast<int>(v);
    return true;
}

std::vector<CustomObject> ConfirmationTracker::Apply(const ConfirmationSettings& settings,
                                                     const std::string& cameraId, cv::Size frameSize,
                                                     std::vector<CustomObject> detections,
                                                     Clock::time_point now) {
    const ConfirmationRule rule = settings.For(cameraId);
    if (!rule.Active()) return detections;
    const std::shared_ptr<Camera> camera = Find(settings, CameraKey(cameraId), now);
    std::lock_guard<std::mutex> lock(camera->mutex);
    if (!(camera->rule == rule) || camera->iou != settings.iou || camera->maxObjects != settings.maxObjects) {
        camera->rule = rule;
        camera->iou = settings.iou;
        camera->maxObjects = settings.maxObjects;
        std::vector<Track>().swap(camera->tracks);
    }
    return Update(*camera, settings.maxObjects, frameSize, std::move(detections));
}

std::shared_ptr<ConfirmationTracker::Camera> ConfirmationTracker::Find(
    const ConfirmationSettings& settings, const CameraKey& key, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto expiry = std::chrono::duration<double>(settings.expirySeconds);
    for (auto it = cameras_.begin(); it != cameras_.end();) {
        it = now - it->second.lastFrame > expiry ? cameras_.erase(it) : std::next(it);
    }
    auto it = cameras_.find(key);
    if (it == cameras_.end()) {
        while (!cameras_.empty() && cameras_.size() >= static_cast<std::size_t>(settings.maxCameras)) {
            const auto oldest = std::min_element(cameras_.begin(), cameras_.end(), [](const auto& a, const auto& b) {
                return a.second.lastUse < b.second.lastUse;
            });
            cameras_.erase(oldest);
        }
        it = cameras_.emplace(key, Entry{std::make_shared<Camera>(), now, 0}).first;
    }
    it->second.lastFrame = now;
    it->second.lastUse = ++uses_;
    return it->second.camera;
}

std::vector<CustomObject> ConfirmationTracker::Update(Camera& camera, int maxObjects, cv::Size frameSize,
                                                      std::vector<CustomObject> detections) {
    const std::uint64_t window = WindowMask(camera.rule.n);
    std::vector<Track>& tracks = camera.tracks;
    for (Track& t : tracks) t.history = (t.history << 1) & window;
    tracks.erase(std::remove_if(tracks.begin(), tracks.end(), [](const Track& t) { return t.history == 0; }),
                 tracks.end());

    const double w = std::max(frameSize.width, 1), h = std::max(frameSize.height, 1);
    std::vector<cv::Rect2d> boxes;
    boxes.reserve(detections.size());
    for (const CustomObject& d : detections) {
        boxes.emplace_back(d.box.x / w, d.box.y / h, d.box.width / w, d.box.height / h);
    }

    // Candidate pairs, best overlap first; ties in detection, then track order.
    std::vector<std::tuple<double, std::size_t, std::size_t>> pairs;
    for (std::size_t i = 0; i < detections.size(); ++i) {
        for (std::size_t j = 0; j < tracks.size(); ++j) {
            if (tracks[j].classId != detections[i].classId) continue;
            const double iou = Iou(boxes[i], tracks[j].box);
            if (iou >= camera.iou) pairs.emplace_back(iou, i, j);
        }
    }
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
        if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) > std::get<0>(b);
        return std::make_pair(std::get<1>(a), std::get<2>(a)) < std::make_pair(std::get<1>(b), std::get<2>(b));
    });
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> trackOf(detections.size(), kNone);
    std::vector<bool> trackTaken(tracks.size(), false);
    for (const auto& [iou, i, j] : pairs) {
        if (trackOf[i] != kNone || trackTaken[j]) continue;
        trackOf[i] = j;
        trackTaken[j] = true;
    }

    for (std::size_t i = 0; i < detections.size(); ++i) {
        if (trackOf[i] != kNone) {
            tracks[trackOf[i]].history |= 1;
            tracks[trackOf[i]].box = boxes[i];
            continue;
        }
        Track fresh{detections[i].classId, boxes[i], 1, false};
        if (tracks.size() < static_cast<std::size_t>(maxObjects)) {
            // Grown by hand: the vector's own growth could overshoot the limit.
            if (tracks.size() == tracks.capacity()) {
                tracks.reserve(std::min<std::size_t>(static_cast<std::size_t>(maxObjects),
                                                     std::max<std::size_t>(4, 2 * tracks.capacity())));
            }
            tracks.push_back(fresh);
            trackOf[i] = tracks.size() - 1;
            continue;
        }
        // Full: replace the object seen longest ago that this frame did not see.
        std::size_t victim = kNone;
        for (std::size_t j = 0; j < tracks.size(); ++j) {
            if (tracks[j].history & 1) continue;
            if (victim == kNone ||
                std::make_pair(-Age(tracks[j].history), Sightings(tracks[j].history)) <
                    std::make_pair(-Age(tracks[victim].history), Sightings(tracks[victim].history))) {
                victim = j;
            }
        }
        if (victim == kNone) continue;  // every object was seen in this frame
        tracks[victim] = fresh;
        trackOf[i] = victim;
    }

    std::vector<CustomObject> reported;
    for (std::size_t i = 0; i < detections.size(); ++i) {
        if (trackOf[i] == kNone) continue;
        Track& t = tracks[trackOf[i]];
        if (Sightings(t.history) >= camera.rule.k) t.confirmed = true;
        if (t.confirmed) reported.push_back(std::move(detections[i]));
    }
    return reported;
}

void ConfirmationTracker::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    cameras_.clear();
}

std::size_t ConfirmationTracker::CameraCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cameras_.size();
}

std::size_t ConfirmationTracker::StoredBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t bytes = 0;
    for (const auto& [key, entry] : cameras_) {
        std::lock_guard<std::mutex> cameraLock(entry.camera->mutex);
        bytes += sizeof(key) + key.prefix.capacity() + sizeof(Entry) + sizeof(Camera) +
                 entry.camera->tracks.capacity() * sizeof(Track);
    }
    return bytes;
}

std::size_t ConfirmationTracker::MaxBytesPerCamera(int maxObjects) {
    return sizeof(CameraKey) + kCameraIdKept + kStringRounding + sizeof(Entry) + sizeof(Camera) +
           static_cast<std::size_t>(std::max(maxObjects, 0)) * sizeof(Track);
}

}  // namespace korva::detail
