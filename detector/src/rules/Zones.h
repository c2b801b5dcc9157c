// Include zones and exclude masks per camera, in normalised frame coordinates.
//
// A zone is a polygon of 3 to 64 points with x and y from 0 (left, top) to 1
// (right, bottom) of the frame, so one zone fits every resolution of a
// camera's stream. A camera with include zones reports only detections inside
// one of them; a camera without reports detections anywhere. A detection
// inside an exclude mask is never reported, also when an include zone covers
// it.
//
// A zone is one simple outline: no two of its edges cross or touch, but for
// neighbours at their shared point. A polygon that crosses itself (a bow
// tie, a star drawn in one stroke, a corner on another edge, a spike that
// runs back along itself) is refused, its reason naming two edges that meet:
// its inside would hang on a fill rule the host never drew. A point repeated
// next to itself, the first point repeated at the end included, is one
// corner. Points all on one line are refused as having no area.
//
// What decides is the centre of the detection's box. A weapon is held or
// carried, so the bottom edge of its box (the foot point that suits people
// and vehicles on a floor) says nothing about where it is; and a rule on the
// share of the box inside a zone would let a loose box at a border flip with
// its size. The centre is one point: a box is on exactly one side of every
// border. Polygons are closed: a centre on an edge or a vertex is inside, so
// include zones that share an edge leave no gap between them, and on an edge
// shared by an include zone and an exclude mask the mask wins.
//
// Record entries (valueListEntries, textB = camera id):
//   "zone_include"  wideValues = {x0, y0, x1, y1, ...}: one include zone
//   "zone_exclude"  wideValues = {x0, y0, x1, y1, ...}: one exclude mask
// A camera may have several of each, at most 64 together. The camera id "*"
// gives the zones of every camera that has none of its own.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "korva/CustomObject.h"

namespace korva::detail {

inline constexpr const char* kKeyZoneInclude = "zone_include";
inline constexpr const char* kKeyZoneExclude = "zone_exclude";
inline constexpr const char* kAnyCamera = "*";
inline constexpr std::size_t kMaxZonePoints = 64;
inline constexpr std::size_t kMaxZonesPerCamera = 64;

using Polygon = std::vector<cv::Point2d>;

// True when `p` lies inside `polygon` or on its boundary (even-odd rule).
bool PolygonContains(const Polygon& polygon, cv::Point2d p);

class ZoneRules {
public:
    bool Empty() const { return cameras_.empty(); }

    // Keeps the detections whose box centre, normalised by `frameSize`, the
    // zones of `cameraId` let through (see above).
    void Apply(const std::string& cameraId, cv::Size frameSize,
               std::vector<CustomObject>& detections) const;

    // Adds one include zone (`include`) or exclude mask of `cameraId` from
    // its x, y values; false with a reason for a bad polygon (count, range,
    // no area, crossing itself) or one beyond the camera's limit.
    bool Add(bool include, const std::string& cameraId, const std::vector<double>& values,
             std::string& reason);
    // Forgets every include zone (`include`) or every exclude mask.
    void Clear(bool include);
    // The zones as (camera id, x, y values), include zones or exclude masks.
    std::vector<std::pair<std::string, std::vector<double>>> Entries(bool include) const;

private:
    struct CameraZones {
        std::vector<Polygon> include;
        std::vector<Polygon> exclude;
    };
    std::map<std::string, CameraZones> cameras_;
};

}  // namespace korva::detail
