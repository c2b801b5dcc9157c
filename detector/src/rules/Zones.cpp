#include "rules/Zones.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

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

double Cross(cv::Point2d o, cv::Point2d a, cv::Point2d b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Twice the area of a triangle below which its corners count as on one line.
constexpr double kCollinear = 1e-12;

int Side(cv::Point2d o, cv::Point2d a, cv::Point2d b) {
    const double c = Cross(o, a, b);
    return c > kCollinear ? 1 : (c < -kCollinear ? -1 : 0);
}

// `p`, on the line through a and b, lies between them.
bool Within(cv::Point2d a, cv::Point2d b, cv::Point2d p) {
    return p.x >= std::min(a.x, b.x) && p.x <= std::max(a.x, b.x) && p.y >= std::min(a.y, b.y) &&
           p.y <= std::max(a.y, b.y);
}

// The segments a-b and c-d cross or touch.
bool SegmentsMeet(cv::Point2d a, cv::Point2d b, cv::Point2d c, cv::Point2d d) {
    const int abc = Side(a, b, c), abd = Side(a, b, d), cda = Side(c, d, a), cdb = Side(c, d, b);
    if (abc * abd < 0 && cda * cdb < 0) return true;
    return (abc == 0 && Within(a, b, c)) || (abd == 0 && Within(a, b, d)) || (cda == 0 && Within(c, d, a)) ||
           (cdb == 0 && Within(c, d, b));
}

// Every point on one line (or on one spot).
bool OnOneLine(const Polygon& polygon) {
    const cv::Point2d a = polygon.front();
    const auto far = std::max_element(polygon.begin(), polygon.end(), [a](cv::Point2d p, cv::Point2d q) {
        return cv::norm(p - a) < cv::norm(q - a);
    });
    return std::all_of(polygon.begin(), polygon.end(),
                       [a, b = *far](cv::Point2d p) { return std::abs(Cross(a, b, p)) <= kCollinear; });
}

std::string PointText(const Polygon& polygon, std::size_t i) {
    char text[64];
    std::snprintf(text, sizeof text, "point %zu (%g, %g)", i + 1, polygon[i].x, polygon[i].y);
    return text;
}

// Empty when no two edges cross or touch, other than neighbours at their
// shared point, else which two do. A point repeated next to itself (also the
// first repeated at the end) is one corner.
std::string Crossing(const Polygon& polygon) {
    std::vector<std::size_t> corner;  // indices into polygon
    for (std::size_t i = 0; i < polygon.size(); ++i) {
        if (corner.empty() || polygon[i] != polygon[corner.back()]) corner.push_back(i);
    }
    while (corner.size() > 1 && polygon[corner.back()] == polygon[corner.front()]) corner.pop_back();
    const std::size_t m = corner.size();
    const auto at = [&](std::size_t k) { return polygon[corner[k % m]]; };
    const auto edge = [&](std::size_t k) {
        return "the edge from " + PointText(polygon, corner[k % m]) + " to " +
               PointText(polygon, corner[(k + 1) % m]);
    };
    for (std::size_t i = 0; i < m; ++i) {
        // Neighbours share a corner; they overlap only when the second turns back along the first.
        const cv::Point2d a = at(i), b = at(i + 1), c = at(i + 2);
        if (m > 2 && Side(a, b, c) == 0 && (a - b).dot(c - b) > 0) {
            return edge(i + 1) + " runs back along " + edge(i);
        }
        for (std::size_t j = i + 2; j < m; ++j) {
            if (i == 0 && j == m - 1) continue;  // neighbours across the closing corner
            if (SegmentsMeet(a, b, at(j), at(j + 1))) return edge(i) + " meets " + edge(j);
        }
    }
    return {};
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
    if (OnOneLine(polygon)) return "the polygon has no area";
    const std::string crossing = Crossing(polygon);
    if (!crossing.empty()) return "the polygon crosses itself: " + crossing + "; a zone must be a simple outline";
    if (TwiceArea(polygon) < kCollinear) return "the polygon has no area";
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
