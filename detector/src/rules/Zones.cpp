#include "rules/Zones.h"

#include <algorithm>
#include <cmath>

namespace korva::detail {
namespace {

// Tolerance for "on the boundary", in normalised units: far below one pixel
// of the largest frame (1 / 16384), far above rounding in the division that
// normalises a pixel position.
constexpr double kEdgeTolerance = 1e-9;

bool OnSegment(cv::Point2d a, cv::Point2d b, cv::Point2d p) {
    const cv::Point2d ab = b - a, ap = p - a;
    const double length = std::hypot(ab.x, ab.y);
    if (std::abs(ab.x * ap.y - ab.y * ap.x) > kEdgeTolerance * std::max(length, 1.0)) return false;
    return p.x >= std::min(a.x, b.x) - kEdgeTolerance && p.x <= std::max(a.x, b.x) + kEdgeTolerance &&
           p.y >= std::min(a.y, b.y) - kEdgeTolerance && p.y <= std::max(a.y, b.y) + kEdgeTolerance;
}

double TwiceArea(const Polygon& polygon) {
    double sum = 0.0;
    for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
        sum += polygon[j].x * polygon[i].y - polygon[i].x * polygon[j].y;
    }
    return std::abs(sum);
}

bool InsideAny(const std::vector<Polygon>& polygons, cv::Point2d p) {
    return std::any_of(polygons.begin(), polygons.end(),
                       [p](const Polygon& polygon) { return PolygonContains(polygon, p); });
}

// Empty when the values make a usable polygon, else the reason.
std::string ParsePolygon(const std::vector<double>& values, Polygon& polygon) {
    if (values.size() % 2 != 0) return "expected x, y pairs, got an odd number of values";
    const std::size_t points = values.size() / 2;
    if (points < 3 || points > kMaxZonePoints) {
        return "a zone needs 3 to " + std::to_string(kMaxZonePoints) + " points, got " +
               std::to_string(points);
    }
    for (double v : values) {
        if (!(std::isfinite(v) && v >= 0.0 && v <= 1.0)) {
            return "coordinates must be numbers from 0 to 1 (fractions of the frame)";
        }
    }
    polygon.clear();
    for (std::size_t i = 0; i < points; ++i) polygon.emplace_back(values[2 * i], values[2 * i + 1]);
    if (TwiceArea(polygon) < 1e-12) return "the polygon has no area";
    return {};
}

}  // namespace

bool PolygonContains(const Polygon& polygon, cv::Point2d p) {
    bool inside = false;
    for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
        const cv::Point2d a = polygon[j], b = polygon[i];
        if (OnSegment(a, b, p)) return true;
        if ((a.y > p.y) != (b.y > p.y) && p.x < a.x + (b.x - a.x) * (p.y - a.y) / (b.y - a.y)) {
            inside = !inside;
        }
    }
    return inside;
}

void ZoneRules::Apply(const std::string& cameraId, cv::Size frameSize,
                      std::vector<CustomObject>& detections) const {
    auto it = cameras_.find(cameraId);
    if (it == cameras_.end()) it = cameras_.find(kAnyCamera);
    if (it == cameras_.end() || frameSize.width <= 0 || frameSize.height <= 0) return;
    const CameraZones& zones = it->second;
    const auto dropped = [&](const CustomObject& d) {
        const cv::Point2d centre((d.box.x + 0.5 * d.box.width) / frameSize.width,
                                 (d.box.y + 0.5 * d.box.height) / frameSize.height);
        if (!zones.include.empty() && !InsideAny(zones.include, centre)) return true;
        return InsideAny(zones.exclude, centre);
    };
    detections.erase(std::remove_if(detections.begin(), detections.end(), dropped), detections.end());
}

bool ZoneRules::Add(bool include, const std::string& cameraId, const std::vector<double>& values,
                    std::string& reason) {
    Polygon polygon;
    reason = ParsePolygon(values, polygon);
    if (!reason.empty()) return false;
    CameraZones& zones = cameras_[cameraId];
    if (zones.include.size() + zones.exclude.size() >= kMaxZonesPerCamera) {
        reason = "more than " + std::to_string(kMaxZonesPerCamera) + " zones for one camera";
        if (zones.include.empty() && zones.exclude.empty()) cameras_.erase(cameraId);
        return false;
    }
    (include ? zones.include : zones.exclude).push_back(std::move(polygon));
    return true;
}

void ZoneRules::Clear(bool include) {
    for (auto it = cameras_.begin(); it != cameras_.end();) {
        (include ? it->second.include : it->second.exclude).clear();
        it = it->second.include.empty() && it->second.exclude.empty() ? cameras_.erase(it) : std::next(it);
    }
}

std::vector<std::pair<std::string, std::vector<double>>> ZoneRules::Entries(bool include) const {
    std::vector<std::pair<std::string, std::vector<double>>> out;
    for (const auto& [camera, zones] : cameras_) {
        for (const Polygon& polygon : include ? zones.include : zones.exclude) {
            std::vector<double> values;
            for (const cv::Point2d& p : polygon) {
                values.push_back(p.x);
                values.push_back(p.y);
            }
            out.emplace_back(camera, std::move(values));
        }
    }
    return out;
}

}  // namespace korva::detail
