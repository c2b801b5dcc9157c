// The alarm-rule units on their own: polygon edges, zone shapes, and the
// confirmation tracker's camera ids, memory bounds and expiry on a clock of
// the test's choosing.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "rules/ConfirmationTracker.h"
#include "rules/Zones.h"

namespace {

using korva::detail::ConfirmationRule;
using korva::detail::ConfirmationSettings;
using korva::detail::ConfirmationTracker;
using korva::detail::Polygon;
using korva::detail::PolygonContains;

// ---- Points against polygons ------------------------------------------------------

struct PointCase {
    std::string name;
    Polygon polygon;
    cv::Point2d point;
    bool inside;
};

const Polygon kSquare = {{0.2, 0.2}, {0.6, 0.2}, {0.6, 0.6}, {0.2, 0.6}};
// An L: the square without its top-right quarter.
const Polygon kEll = {{0.2, 0.2}, {0.4, 0.2}, {0.4, 0.4}, {0.6, 0.4}, {0.6, 0.6}, {0.2, 0.6}};
// A bow tie crossing itself at (0.5, 0.5).
const Polygon kBowTie = {{0.0, 0.0}, {1.0, 1.0}, {1.0, 0.0}, {0.0, 1.0}};

const PointCase kPointCases[] = {
    {"SquareInside", kSquare, {0.4, 0.4}, true},
    {"SquareOutside", kSquare, {0.7, 0.4}, false},
    {"SquareOnLeftEdge", kSquare, {0.2, 0.4}, true},
    {"SquareOnTopEdge", kSquare, {0.4, 0.2}, true},
    {"SquareOnCorner", kSquare, {0.6, 0.6}, true},
    {"SquareJustOutsideCorner", kSquare, {0.6 + 1e-7, 0.6}, false},
    {"SquareOnEdgeExtension", kSquare, {0.8, 0.2}, false},
    {"SquareLevelWithBottomOutside", kSquare, {0.1, 0.6}, false},
    {"EllInsideTheFoot", kEll, {0.5, 0.5}, true},
    {"EllInTheNotch", kEll, {0.5, 0.3}, false},
    {"EllOnTheReflexCorner", kEll, {0.4, 0.4}, true},
    {"EllOnTheNotchEdge", kEll, {0.5, 0.4}, true},
    {"BowTieLeftLobe", kBowTie, {0.1, 0.5}, true},
    {"BowTieTopGap", kBowTie, {0.5, 0.1}, false},
    {"BowTieCrossing", kBowTie, {0.5, 0.5}, true},
    {"FrameCornerOfWholeFrame", {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, {1.0, 1.0}, true},
};

class PolygonTest : public testing::TestWithParam<PointCase> {};

TEST_P(PolygonTest, ContainsClosed) {
    EXPECT_EQ(PolygonContains(GetParam().polygon, GetParam().point), GetParam().inside);
}

INSTANTIATE_TEST_SUITE_P(Points, PolygonTest, testing::ValuesIn(kPointCases),
                         [](const testing::TestParamInfo<PointCase>& i) { return i.param.name; });

// ---- Zones taken or refused --------------------------------------------------------

struct ZoneShapeCase {
    std::string name;
    std::vector<double> values;
    std::string refusal;  // part of the reason; empty when taken
};

const char* const kCrosses = "the polygon crosses itself";
const char* const kNoArea = "the polygon has no area";

const ZoneShapeCase kZoneShapeCases[] = {
    {"SquareIsTaken", {0.2, 0.2, 0.6, 0.2, 0.6, 0.6, 0.2, 0.6}, ""},
    {"EllIsTaken", {0.2, 0.2, 0.4, 0.2, 0.4, 0.4, 0.6, 0.4, 0.6, 0.6, 0.2, 0.6}, ""},
    {"PointOnAStraightEdgeIsTaken", {0, 0, 0.5, 0, 1, 0, 1, 1, 0, 1}, ""},
    {"ClosingPointRepeatedIsTaken", {0, 0, 1, 0, 1, 1, 0, 1, 0, 0}, ""},
    {"PointRepeatedInPlaceIsTaken", {0, 0, 1, 0, 1, 0, 1, 1, 0, 1}, ""},
    {"BowTieNamesTheCrossingEdges",
     {0, 0, 1, 1, 1, 0, 0, 1},
     "crosses itself: the edge from point 1 (0, 0) to point 2 (1, 1) meets the edge from point 3 (1, 0) "
     "to point 4 (0, 1)"},
    {"LopsidedBowTieCrosses", {0, 0, 1, 1, 1, 0, 0, 0.5}, kCrosses},
    {"PentagramCrosses", {0.5, 0, 0.8, 1, 0, 0.35, 1, 0.35, 0.2, 1}, kCrosses},
    {"CornerOnAnotherEdgeTouches", {0, 0, 1, 0, 1, 1, 0.5, 0, 0, 1}, kCrosses},
    {"TwoLoopsThroughOnePointTouch", {0, 0, 0.5, 0.5, 1, 0, 1, 1, 0.5, 0.5, 0, 1}, kCrosses},
    {"SpikeRunsBack", {0.2, 0.2, 0.6, 0.2, 0.6, 0.6, 0.6, 0.4, 0.2, 0.6}, "runs back along"},
    {"PointsOnALineHaveNoArea", {0, 0, 0.5, 0.5, 1, 1}, kNoArea},
    {"LineWalkedBackHasNoArea", {0, 0, 1, 1, 0.5, 0.5, 0.2, 0.2}, kNoArea},
    {"OnePointHasNoArea", {0.5, 0.5, 0.5, 0.5, 0.5, 0.5}, kNoArea},
    {"SliverBelowTheAreaFloorHasNoArea", {0, 0, 1, 0, 0.5, 1e-13}, kNoArea},
};

class ZoneShapeTest : public testing::TestWithParam<ZoneShapeCase> {};

TEST_P(ZoneShapeTest, TakenOrRefusedWithItsReason) {
    const ZoneShapeCase& c = GetParam();
    for (bool include : {true, false}) {
        korva::detail::ZoneRules zones;
        std::string reason;
        EXPECT_EQ(zones.Add(include, "cam", c.values, reason), c.refusal.empty()) << reason;
        EXPECT_NE(reason.find(c.refusal), std::string::npos) << reason;
        EXPECT_EQ(zones.Empty(), !c.refusal.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ZoneShapeTest, testing::ValuesIn(kZoneShapeCases),
                         [](const testing::TestParamInfo<ZoneShapeCase>& i) { return i.param.name; });

// ---- The tracker's memory and clock ------------------------------------------------

using Clock = ConfirmationTracker::Clock;
const cv::Size kFrame(100, 100);

std::vector<CustomObject> One(int x = 10) {
    CustomObject o;
    o.classId = 0;
    o.confidence = 0.9f;
    o.box = cv::Rect(x, 10, 20, 20);
    return {o};
}

ConfirmationSettings TwoOfTwo() {
    ConfirmationSettings s;
    s.cameras["*"] = ConfirmationRule{2, 2};
    return s;
}

struct ExpiryCase {
    double expiry;
    double gap;  // seconds between the camera's two frames
    bool confirmed;
};

class TrackerExpiryTest : public testing::TestWithParam<ExpiryCase> {};

TEST_P(TrackerExpiryTest, CameraAfterAGap) {
    ConfirmationSettings s = TwoOfTwo();
    s.expirySeconds = GetParam().expiry;
    ConfirmationTracker tracker;
    const Clock::time_point t0{};
    EXPECT_TRUE(tracker.Apply(s, "cam", kFrame, One(), t0).empty());
    const auto gap = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(GetParam().gap));
    EXPECT_EQ(tracker.Apply(s, "cam", kFrame, One(), t0 + gap).size(), GetParam().confirmed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Gaps, TrackerExpiryTest,
                         testing::Values(ExpiryCase{60.0, 0.04, true}, ExpiryCase{60.0, 59.9, true},
                                         ExpiryCase{60.0, 60.1, false}, ExpiryCase{1.0, 0.5, true},
                                         ExpiryCase{1.0, 1.5, false}, ExpiryCase{3600.0, 3000.0, true}));

// Two frames of the same object, one from each id: confirmed on the second
// only when both ids are one camera.
struct CameraIdCase {
    std::string name;
    std::string first;
    std::string second;
    bool sameCamera;
};

std::string Long(std::size_t length, char last) { return std::string(length - 1, 'c') + last; }

const CameraIdCase kCameraIdCases[] = {
    {"ShortIdsAreTwo", "gate", "door", false},
    {"ShortIdIsOne", "gate", "gate", true},
    {"EmptyIdIsOne", "", "", true},
    {"LongIdsDifferingAtTheEndAreTwo", Long(300, 'a'), Long(300, 'b'), false},
    {"LongIdsDifferingInLengthAreTwo", Long(300, 'c'), Long(301, 'c'), false},
    {"LongIdIsOne", Long(300, 'a'), Long(300, 'a'), true},
    {"MegabyteIdsDifferingAtTheEndAreTwo", Long(1 << 20, 'a'), Long(1 << 20, 'b'), false},
    {"MegabyteIdIsOne", Long(1 << 20, 'a'), Long(1 << 20, 'a'), true},
};

class CameraIdTest : public testing::TestWithParam<CameraIdCase> {};

TEST_P(CameraIdTest, KeyedByTheWholeIdInBoundedMemory) {
    const CameraIdCase& c = GetParam();
    const ConfirmationSettings s = TwoOfTwo();
    ConfirmationTracker tracker;
    const Clock::time_point t0{};
    EXPECT_TRUE(tracker.Apply(s, c.first, kFrame, One(), t0).empty());
    EXPECT_EQ(tracker.Apply(s, c.second, kFrame, One(), t0).size(), c.sameCamera ? 1u : 0u);
    EXPECT_EQ(tracker.CameraCount(), c.sameCamera ? 1u : 2u);
    EXPECT_LE(tracker.StoredBytes(), tracker.CameraCount() * ConfirmationTracker::MaxBytesPerCamera(s.maxObjects));
}

INSTANTIATE_TEST_SUITE_P(Ids, CameraIdTest, testing::ValuesIn(kCameraIdCases),
                         [](const testing::TestParamInfo<CameraIdCase>& i) { return i.param.name; });

TEST(ConfirmationTrackerTest, ExpiredCamerasAreFreedByOthers) {
    ConfirmationTracker tracker;
    const ConfirmationSettings s = TwoOfTwo();
    const Clock::time_point t0{};
    tracker.Apply(s, "a", kFrame, One(), t0);
    tracker.Apply(s, "b", kFrame, One(), t0 + std::chrono::seconds(30));
    EXPECT_EQ(tracker.CameraCount(), 2u);
    tracker.Apply(s, "c", kFrame, One(), t0 + std::chrono::seconds(61));
    EXPECT_EQ(tracker.CameraCount(), 2u);  // a expired, b and c remain
    EXPECT_EQ(tracker.Apply(s, "b", kFrame, One(), t0 + std::chrono::seconds(62)).size(), 1u);
}

TEST(ConfirmationTrackerTest, LeastRecentCameraMakesWay) {
    ConfirmationTracker tracker;
    ConfirmationSettings s = TwoOfTwo();
    s.maxCameras = 2;
    Clock::time_point t{};
    const auto frame = [&](const std::string& camera) {
        t += std::chrono::milliseconds(40);
        return tracker.Apply(s, camera, kFrame, One(), t).size();
    };
    EXPECT_EQ(frame("a"), 0u);
    EXPECT_EQ(frame("b"), 0u);
    EXPECT_EQ(frame("a"), 1u);
    EXPECT_EQ(frame("c"), 0u);  // b, used longest ago, is forgotten
    EXPECT_EQ(tracker.CameraCount(), 2u);
    EXPECT_EQ(frame("a"), 1u);
    EXPECT_EQ(frame("b"), 0u);  // afresh; c is forgotten now
    EXPECT_EQ(frame("b"), 1u);
    EXPECT_EQ(tracker.CameraCount(), 2u);
}

TEST(ConfirmationTrackerTest, KeepsNoStateWithoutARule) {
    ConfirmationTracker tracker;
    ConfirmationSettings s;
    s.cameras["gate"] = ConfirmationRule{2, 3};
    const auto passed = tracker.Apply(s, "door", kFrame, One(), Clock::time_point{});
    EXPECT_EQ(passed.size(), 1u);
    EXPECT_EQ(tracker.CameraCount(), 0u);
    tracker.Apply(s, "gate", kFrame, One(), Clock::time_point{});
    EXPECT_EQ(tracker.CameraCount(), 1u);
    tracker.Clear();
    EXPECT_EQ(tracker.CameraCount(), 0u);
}

// The objects of a camera stay within its limit however many appear.
TEST(ConfirmationTrackerTest, ManyObjectsStayBounded) {
    ConfirmationTracker tracker;
    ConfirmationSettings s;
    s.cameras["*"] = ConfirmationRule{2, 2};
    s.maxObjects = 5;
    std::vector<CustomObject> crowd;
    for (int i = 0; i < 9; ++i) {
        CustomObject o;
        o.box = cv::Rect(10 * i, 0, 8, 8);
        crowd.push_back(o);
    }
    const Clock::time_point t0{};
    EXPECT_TRUE(tracker.Apply(s, "cam", kFrame, crowd, t0).empty());
    // The first five were followed; only they are confirmed.
    const auto second = tracker.Apply(s, "cam", kFrame, crowd, t0);
    ASSERT_EQ(second.size(), 5u);
    for (std::size_t i = 0; i < second.size(); ++i) EXPECT_EQ(second[i].box, crowd[i].box);
    EXPECT_LE(tracker.StoredBytes(), ConfirmationTracker::MaxBytesPerCamera(s.maxObjects));
    // Fewer allowed: the camera starts afresh within the new bound.
    s.maxObjects = 2;
    EXPECT_TRUE(tracker.Apply(s, "cam", kFrame, crowd, t0).empty());
    EXPECT_LE(tracker.StoredBytes(), ConfirmationTracker::MaxBytesPerCamera(s.maxObjects));
    EXPECT_EQ(tracker.Apply(s, "cam", kFrame, crowd, t0).size(), 2u);
}

}  // namespace
