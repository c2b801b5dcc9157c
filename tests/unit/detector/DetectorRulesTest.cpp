// Alarm rules through the public interface: class thresholds, zones and
// confirmation across frames, configured through the parameter record and
// fed frame sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "DetectorTestUtil.h"
#include "korva/KorvaCustomWD.h"

namespace {

using korva::test::Describe;
using korva::test::ModelDir;
using korva::test::RandomFrame;
using korva::test::SameDetections;

ValueListEntry Entry(const std::string& key, const std::string& subject, std::vector<double> values) {
    return ValueListEntry{key, std::move(values), subject, "", 0};
}

// The detector's own record with `entries` in place of those of the same keys.
CustomParams RecordWith(KorvaCustomWD& detector, const std::vector<ValueListEntry>& entries) {
    CustomParams record;
    detector.ConfigureParameters(record);
    auto& list = record.valueListEntries;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const ValueListEntry& e) {
                                  return std::any_of(entries.begin(), entries.end(),
                                                     [&](const ValueListEntry& n) { return n.textA == e.textA; });
                              }),
               list.end());
    list.insert(list.end(), entries.begin(), entries.end());
    return record;
}

// That record applied.
void Configure(KorvaCustomWD& detector, const std::vector<ValueListEntry>& entries) {
    const CustomParams record = RecordWith(detector, entries);
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(record, report)) << detector.LastError();
}

// Applies the record with `entries` added and returns the keys refused.
std::vector<std::string> Refused(KorvaCustomWD& detector, const std::vector<ValueListEntry>& entries) {
    const CustomParams record = RecordWith(detector, entries);
    KorvaCustomWD::ParameterReport report;
    const bool applied = detector.ApplyParameters(record, report);
    std::vector<std::string> refused;
    for (const auto& change : report.changes) {
        if (change.outcome == KorvaCustomWD::ParameterChange::Outcome::kRefused) refused.push_back(change.key);
    }
    EXPECT_EQ(applied, refused.empty());
    return refused;
}

// ---- The spot model: a coloured 8 x 8 cell of a 64 x 64 frame is one detection

struct Cell {
    int col;
    int row;
    int classId;  // 0 red, 1 green, 2 blue
};

cv::Mat SpotFrame(const std::vector<Cell>& cells, int scale = 1) {
    cv::Mat frame(64 * scale, 64 * scale, CV_8UC3, cv::Scalar::all(0));
    const cv::Scalar colours[] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}};
    for (const Cell& c : cells) {
        frame(cv::Rect(8 * c.col * scale, 8 * c.row * scale, 8 * scale, 8 * scale))
            .setTo(colours[c.classId]);
    }
    return frame;
}

cv::Rect CellBox(const Cell& c, int scale = 1) {
    return cv::Rect((8 * c.col - 4) * scale, (8 * c.row - 4) * scale, 16 * scale, 16 * scale) &
           cv::Rect(0, 0, 64 * scale, 64 * scale);
}

// Detections as (class, box), sorted, for comparing sets.
std::vector<std::tuple<int, int, int, int, int>> Keys(const std::vector<CustomObject>& d) {
    std::vector<std::tuple<int, int, int, int, int>> k;
    for (const CustomObject& o : d) k.emplace_back(o.classId, o.box.x, o.box.y, o.box.width, o.box.height);
    std::sort(k.begin(), k.end());
    return k;
}

std::vector<std::tuple<int, int, int, int, int>> Keys(const std::vector<Cell>& cells, int scale = 1) {
    std::vector<CustomObject> d;
    for (const Cell& c : cells) {
        CustomObject o;
        o.classId = c.classId;
        o.box = CellBox(c, scale);
        d.push_back(o);
    }
    return Keys(d);
}

class SpotDetector : public testing::Test {
protected:
    void SetUp() override {
        std::string labelMap;
        ASSERT_TRUE(detector.Initialize(ModelDir("spot_v8_nc3"), 0.5f, labelMap)) << detector.LastError();
        ASSERT_EQ(labelMap, "handgun,rifle,knife");
    }
    KorvaCustomWD detector;
};

TEST_F(SpotDetector, ModelReportsTheColouredCells) {
    const std::vector<Cell> cells = {{0, 0, 0}, {3, 3, 1}, {7, 6, 2}, {5, 1, 0}};
    EXPECT_EQ(Keys(detector.RunInference(SpotFrame(cells), "cam")), Keys(cells));
    EXPECT_EQ(Keys(detector.RunInference(SpotFrame(cells, 2), "cam")), Keys(cells, 2));
}

// ---- Off by default ----------------------------------------------------------------

// Entries that configure nothing leave every result as it is without them.
TEST(AlarmRulesOff, NeutralEntriesChangeNothing) {
    const std::vector<std::vector<ValueListEntry>> neutral = {
        {},
        {Entry("confirm_frames", "*", {1, 1})},
        {Entry("class_enabled", "rifle", {1}), Entry("class_enabled", "knife", {1})},
        {Entry("confirm_iou", "", {0.5}), Entry("confirm_max_objects", "", {3})},
        {Entry("zone_include", "other camera", {0, 0, 0.1, 0, 0.1, 0.1})},
    };
    for (const std::string model : {"v8_nc3", "v5_nc3", "const_v8_nc3"}) {
        KorvaCustomWD plain, ruled;
        std::string labels;
        ASSERT_TRUE(plain.Initialize(ModelDir(model), 0.3f, labels));
        ASSERT_TRUE(ruled.Initialize(ModelDir(model), 0.3f, labels));
        for (std::size_t i = 0; i < neutral.size(); ++i) {
            Configure(ruled, neutral[i]);
            std::size_t total = 0;
            for (unsigned seed = 0; seed < 6; ++seed) {
                const cv::Mat frame = RandomFrame({160 + 40 * int(seed), 120}, CV_8UC3, 70 + seed);
                const auto expected = plain.RunInference(frame, "cam");
                total += expected.size();
                const auto got = ruled.RunInference(frame, "cam");
                EXPECT_TRUE(SameDetections(got, expected))
                    << model << " entries #" << i << ": " << Describe(got) << " vs " << Describe(expected);
            }
            EXPECT_GT(total, 0u) << model;
        }
    }
}

// ---- Class thresholds and classes switched off -----------------------------------

struct ClassCase {
    std::string name;
    float threshold;  // the detector's
    std::vector<ValueListEntry> entries;
    std::vector<int> classes;  // reported, in order
};

// const_v8_nc3 reports rifle 0.9, knife 0.8 and handgun 0.65 (a second rifle
// at 0.7 lies under the first and is merged).
const ClassCase kClassCases[] = {
    {"None", 0.5f, {}, {1, 2, 0}},
    {"KnifeAbove", 0.5f, {Entry("class_threshold", "knife", {0.85})}, {1, 0}},
    {"HandgunAtItsScore", 0.5f, {Entry("class_threshold", "handgun", {0.65f})}, {1, 2, 0}},
    {"HandgunJustAbove", 0.5f, {Entry("class_threshold", "handgun", {0.66})}, {1, 2}},
    {"BelowTheGlobal", 0.95f, {Entry("class_threshold", "knife", {0.5})}, {2}},
    {"TwoBelowTheGlobal", 0.95f,
     {Entry("class_threshold", "knife", {0.5}), Entry("class_threshold", "handgun", {0.6})}, {2, 0}},
    {"RifleOff", 0.5f, {Entry("class_enabled", "rifle", {0})}, {2, 0}},
    {"RifleOffItsSecondBoxStaysMerged", 0.5f,
     {Entry("class_enabled", "rifle", {0}), Entry("class_threshold", "rifle", {0.6})}, {2, 0}},
    {"AllOff", 0.5f,
     {Entry("class_enabled", "rifle", {0}), Entry("class_enabled", "knife", {0}),
      Entry("class_enabled", "handgun", {0})},
     {}},
    {"OffAndBelow", 0.9f,
     {Entry("class_enabled", "rifle", {0}), Entry("class_threshold", "handgun", {0.6})}, {0}},
};

class ClassRulesTest : public testing::TestWithParam<ClassCase> {};

TEST_P(ClassRulesTest, SelectsDetections) {
    const ClassCase& c = GetParam();
    KorvaCustomWD detector;
    std::string labels;
    ASSERT_TRUE(detector.Initialize(ModelDir("const_v8_nc3"), c.threshold, labels));
    Configure(detector, c.entries);
    const auto got = detector.RunInference(RandomFrame({192, 128}, CV_8UC3, 5), "cam");
    std::vector<int> classes;
    for (const CustomObject& d : got) classes.push_back(d.classId);
    EXPECT_EQ(classes, c.classes) << Describe(got);
    for (const CustomObject& d : got) EXPECT_NE(d.confidence, 0.7f) << "the merged rifle came back";
}

INSTANTIATE_TEST_SUITE_P(Classes, ClassRulesTest, testing::ValuesIn(kClassCases),
                         [](const testing::TestParamInfo<ClassCase>& i) { return i.param.name; });

// ---- Zones ---------------------------------------------------------------------------

struct ZoneCase {
    std::string name;
    std::vector<ValueListEntry> entries;
    std::string camera;
    std::vector<Cell> kept;     // of the lit cells, those reported
    std::vector<Cell> dropped;  // the others
};

// Box centres of interior cells lie at (col + 0.5) / 8 of the frame: cells 3
// and 4 have theirs at x = 0.4375 and 0.5625.
const std::vector<double> kLeft = {0, 0, 0.4375, 0, 0.4375, 1, 0, 1};       // x <= 0.4375
const std::vector<double> kRight = {0.4375, 0, 1, 0, 1, 1, 0.4375, 1};      // x >= 0.4375
const std::vector<double> kTriangle = {0.4375, 0.4375, 1, 0.4375, 1, 1};   // vertex on cell (3, 3)

const ZoneCase kZoneCases[] = {
    {"IncludeLeftCentreOnTheEdgeIsIn", {Entry("zone_include", "cam", kLeft)}, "cam",
     {{3, 3, 0}, {1, 5, 2}}, {{4, 3, 0}, {6, 1, 1}}},
    {"ExcludeLeftCentreOnTheEdgeIsOut", {Entry("zone_exclude", "cam", kLeft)}, "cam",
     {{4, 3, 0}, {6, 1, 1}}, {{3, 3, 0}, {1, 5, 2}}},
    {"SharedEdgeTheMaskWins", {Entry("zone_include", "cam", kRight), Entry("zone_exclude", "cam", kLeft)},
     "cam", {{4, 3, 0}, {6, 6, 1}}, {{3, 3, 0}, {1, 5, 2}}},
    {"TwoIncludesSharingAnEdgeLeaveNoGap",
     {Entry("zone_include", "cam", kRight), Entry("zone_include", "cam", kLeft)}, "cam",
     {{3, 3, 0}, {4, 3, 0}, {1, 1, 1}, {6, 6, 2}}, {}},
    {"VertexIsInside", {Entry("zone_include", "cam", kTriangle)}, "cam",
     {{3, 3, 0}, {6, 4, 1}}, {{2, 3, 0}, {3, 4, 2}, {4, 6, 1}}},
    {"MaskInsideAnInclude",
     {Entry("zone_include", "cam", {0, 0, 1, 0, 1, 1, 0, 1}),
      Entry("zone_exclude", "cam", {0.25, 0.25, 0.75, 0.25, 0.75, 0.75, 0.25, 0.75})},
     "cam", {{0, 0, 0}, {7, 7, 1}}, {{3, 3, 0}, {4, 4, 2}}},
    {"OtherCameraUntouched", {Entry("zone_include", "cam", kLeft)}, "door",
     {{3, 3, 0}, {4, 3, 0}, {6, 1, 1}}, {}},
    {"AnyCameraFallsBack", {Entry("zone_include", "*", kLeft)}, "door",
     {{3, 3, 0}}, {{4, 3, 0}}},
    {"OwnZonesReplaceTheFallback",
     {Entry("zone_include", "*", kLeft), Entry("zone_include", "door", kRight)}, "door",
     {{4, 3, 0}, {3, 3, 0}}, {{2, 3, 1}}},
    // The cell in the corner has its box clipped to (0, 0, 12, 12): centre
    // (6, 6), inside a zone ending at 0.1 = 6.4 px.
    {"ClippedBoxUsesItsClippedCentre", {Entry("zone_include", "cam", {0, 0, 0.1, 0, 0.1, 0.1, 0, 0.1})},
     "cam", {{0, 0, 0}}, {{1, 1, 0}}},
};

class ZoneRulesTest : public testing::TestWithParam<ZoneCase> {};

TEST_P(ZoneRulesTest, CentreDecides) {
    const ZoneCase& c = GetParam();
    KorvaCustomWD detector;
    std::string labels;
    ASSERT_TRUE(detector.Initialize(ModelDir("spot_v8_nc3"), 0.5f, labels));
    Configure(detector, c.entries);
    std::vector<Cell> lit = c.kept;
    lit.insert(lit.end(), c.dropped.begin(), c.dropped.end());
    // The same zones at two resolutions of the stream.
    for (int scale : {1, 3}) {
        const auto got = detector.RunInference(SpotFrame(lit, scale), c.camera);
        EXPECT_EQ(Keys(got), Keys(c.kept, scale)) << "scale " << scale << ": " << Describe(got);
    }
}

INSTANTIATE_TEST_SUITE_P(Zones, ZoneRulesTest, testing::ValuesIn(kZoneCases),
                         [](const testing::TestParamInfo<ZoneCase>& i) { return i.param.name; });

// ---- Confirmation across frames ------------------------------------------------------

struct Step {
    std::string camera;
    std::vector<Cell> lit;
    std::vector<Cell> reported;
};

struct SequenceCase {
    std::string name;
    std::vector<ValueListEntry> entries;
    std::vector<Step> steps;
};

const Cell kA{3, 3, 0};
const Cell kB{6, 1, 0};

const SequenceCase kSequenceCases[] = {
    {"TwoOfThreeStillObject", {Entry("confirm_frames", "*", {2, 3})},
     {{"cam", {kA}, {}}, {"cam", {kA}, {kA}}, {"cam", {kA}, {kA}}, {"cam", {kA}, {kA}}}},
    {"ThreeOfFiveWithGaps", {Entry("confirm_frames", "cam", {3, 5})},
     {{"cam", {kA}, {}}, {"cam", {}, {}}, {"cam", {kA}, {}}, {"cam", {}, {}}, {"cam", {kA}, {kA}}}},
    {"TooSparseNeverConfirms", {Entry("confirm_frames", "cam", {2, 2})},
     {{"cam", {kA}, {}}, {"cam", {}, {}}, {"cam", {kA}, {}}, {"cam", {}, {}}, {"cam", {kA}, {}}}},
    // A different place each frame: no two sightings are one object.
    {"DifferentPlacesNeverConfirmEachOther", {Entry("confirm_frames", "*", {2, 3})},
     {{"cam", {{1, 1, 0}}, {}}, {"cam", {{5, 5, 0}}, {}}, {"cam", {{1, 6, 0}}, {}},
      {"cam", {{6, 2, 0}}, {}}, {"cam", {{3, 3, 0}}, {}}}},
    {"OtherClassSamePlaceIsAnotherObject", {Entry("confirm_frames", "*", {2, 4})},
     {{"cam", {{3, 3, 0}}, {}}, {"cam", {{3, 3, 1}}, {}}, {"cam", {{3, 3, 2}}, {}},
      {"cam", {{3, 3, 0}}, {{3, 3, 0}}}}},
    // One cell sideways overlaps with IoU 1/3, diagonally 1/7.
    {"SideStepsAreOneObject", {Entry("confirm_frames", "*", {3, 3})},
     {{"cam", {{1, 3, 0}}, {}}, {"cam", {{2, 3, 0}}, {}}, {"cam", {{3, 3, 0}}, {{3, 3, 0}}},
      {"cam", {{3, 4, 0}}, {{3, 4, 0}}}}},
    {"DiagonalStepsAreNew", {Entry("confirm_frames", "*", {2, 3})},
     {{"cam", {{1, 1, 0}}, {}}, {"cam", {{2, 2, 0}}, {}}, {"cam", {{3, 3, 0}}, {}},
      {"cam", {{4, 4, 0}}, {}}}},
    {"StricterIouSplitsSideSteps",
     {Entry("confirm_frames", "*", {2, 3}), Entry("confirm_iou", "", {0.4})},
     {{"cam", {{1, 3, 0}}, {}}, {"cam", {{2, 3, 0}}, {}}, {"cam", {{3, 3, 0}}, {}}}},
    {"LooserIouJoinsDiagonalSteps",
     {Entry("confirm_frames", "*", {2, 3}), Entry("confirm_iou", "", {0.1})},
     {{"cam", {{1, 1, 0}}, {}}, {"cam", {{2, 2, 0}}, {{2, 2, 0}}}}},
    // Confirmed at frame 3, reported whenever seen until unseen for 3 frames.
    {"ConfirmedStaysWhileSeen", {Entry("confirm_frames", "*", {3, 3})},
     {{"cam", {kA}, {}}, {"cam", {kA}, {}}, {"cam", {kA}, {kA}}, {"cam", {}, {}}, {"cam", {kA}, {kA}},
      {"cam", {}, {}}, {"cam", {}, {}}, {"cam", {}, {}}, {"cam", {kA}, {}}}},
    {"TwoObjectsCountApart", {Entry("confirm_frames", "*", {2, 3})},
     {{"cam", {kA}, {}}, {"cam", {kA, kB}, {kA}}, {"cam", {kB}, {kB}}, {"cam", {kA, kB}, {kA, kB}}}},
    {"CamerasCountApart", {Entry("confirm_frames", "*", {2, 3})},
     {{"a", {kA}, {}}, {"b", {kA}, {}}, {"a", {kA}, {kA}}, {"c", {kA}, {}}, {"b", {}, {}},
      {"c", {kA}, {kA}}, {"b", {kA}, {kA}}}},
    {"CameraSwitchedOff", {Entry("confirm_frames", "*", {2, 3}), Entry("confirm_frames", "live", {1, 1})},
     {{"live", {kA}, {kA}}, {"gate", {kA}, {}}, {"live", {kB}, {kB}}, {"gate", {kA}, {kA}}}},
    {"OnlyTheNamedCamera", {Entry("confirm_frames", "gate", {2, 3})},
     {{"live", {kA}, {kA}}, {"gate", {kA}, {}}, {"", {kA}, {kA}}, {"gate", {kA}, {kA}}}},
    {"ZonesComeFirst",
     {Entry("confirm_frames", "*", {2, 3}), Entry("zone_exclude", "cam", {0, 0, 0.5, 0, 0.5, 1, 0, 1})},
     {{"cam", {{1, 1, 0}, kB}, {}}, {"cam", {{1, 1, 0}, kB}, {kB}}, {"cam", {{1, 1, 0}}, {}}}},
    {"FullCameraDropsTheStalest",
     {Entry("confirm_frames", "*", {2, 4}), Entry("confirm_max_objects", "", {2})},
     {{"cam", {{1, 1, 0}}, {}}, {"cam", {{5, 5, 0}}, {}}, {"cam", {{1, 1, 0}, {3, 6, 0}}, {{1, 1, 0}}},
      // (5, 5) made way for (3, 6); seen again, it starts afresh.
      {"cam", {{5, 5, 0}}, {}}, {"cam", {{3, 6, 0}}, {}}}},
    // B comes first (lower anchor) and takes the only place; A gets it once
    // B is gone.
    {"FullCameraFollowsNoMore",
     {Entry("confirm_frames", "*", {2, 3}), Entry("confirm_max_objects", "", {1})},
     {{"cam", {kA, kB}, {}}, {"cam", {kA, kB}, {kB}}, {"cam", {kA}, {}}, {"cam", {kA}, {kA}}}},
};

class ConfirmationTest : public testing::TestWithParam<SequenceCase> {};

TEST_P(ConfirmationTest, ReportsConfirmedObjects) {
    const SequenceCase& c = GetParam();
    KorvaCustomWD detector;
    std::string labels;
    ASSERT_TRUE(detector.Initialize(ModelDir("spot_v8_nc3"), 0.5f, labels));
    Configure(detector, c.entries);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const Step& s = c.steps[i];
        const auto got = detector.RunInference(SpotFrame(s.lit), s.camera);
        EXPECT_EQ(Keys(got), Keys(s.reported)) << "frame " << i << " of " << s.camera << ": " << Describe(got);
        for (const CustomObject& d : got) EXPECT_EQ(d.textB, s.camera);
    }
}

INSTANTIATE_TEST_SUITE_P(Sequences, ConfirmationTest, testing::ValuesIn(kSequenceCases),
                         [](const testing::TestParamInfo<SequenceCase>& i) { return i.param.name; });

TEST_F(SpotDetector, RuleChangeRestartsTheCount) {
    Configure(detector, {Entry("confirm_frames", "*", {2, 3})});
    EXPECT_TRUE(detector.RunInference(SpotFrame({kA}), "cam").empty());
    EXPECT_EQ(detector.RunInference(SpotFrame({kA}), "cam").size(), 1u);
    CustomParams record;
    ASSERT_TRUE(detector.ConfigureParameters(record));
    for (ValueListEntry& e : record.valueListEntries) {
        if (e.textA == "confirm_frames") e.wideValues = {2, 4};
    }
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(record, report)) << detector.LastError();
    EXPECT_TRUE(detector.RunInference(SpotFrame({kA}), "cam").empty());
    EXPECT_EQ(detector.RunInference(SpotFrame({kA}), "cam").size(), 1u);
}

TEST_F(SpotDetector, ReleasingTheModelForgetsTheCameras) {
    Configure(detector, {Entry("confirm_frames", "*", {2, 3})});
    detector.RunInference(SpotFrame({kA}), "cam");
    EXPECT_EQ(detector.RunInference(SpotFrame({kA}), "cam").size(), 1u);
    ASSERT_TRUE(detector.OptimizeModel(false));  // keeps model, rules and cameras
    EXPECT_EQ(detector.RunInference(SpotFrame({kA}), "cam").size(), 1u);
    ASSERT_TRUE(detector.Destroy());
    // Initialize takes the stored record, rules included; the cameras start afresh.
    std::string labels;
    ASSERT_TRUE(detector.Initialize(ModelDir("spot_v8_nc3"), 0.5f, labels));
    EXPECT_TRUE(detector.RunInference(SpotFrame({kA}), "cam").empty());
    EXPECT_EQ(detector.RunInference(SpotFrame({kA}), "cam").size(), 1u);
}

// The record handed out carries the rules; handed back, it keeps them.
TEST_F(SpotDetector, RulesSurviveTheRoundTrip) {
    const std::vector<ValueListEntry> entries = {
        Entry("class_threshold", "knife", {0.75}), Entry("class_enabled", "rifle", {0}),
        Entry("zone_include", "cam", kLeft), Entry("zone_exclude", "*", kTriangle),
        Entry("confirm_frames", "cam", {2, 3}), Entry("confirm_iou", "", {0.25}),
        Entry("confirm_expiry_s", "", {5}), Entry("confirm_max_cameras", "", {8})};
    Configure(detector, entries);
    CustomParams first;
    ASSERT_TRUE(detector.ConfigureParameters(first));
    for (const ValueListEntry& want : entries) {
        const bool present = std::any_of(first.valueListEntries.begin(), first.valueListEntries.end(),
                                         [&](const ValueListEntry& e) {
                                             // Single keys carry the kind in textB.
                                             return e.textA == want.textA &&
                                                    (want.textB.empty() || e.textB == want.textB) &&
                                                    e.wideValues == want.wideValues;
                                         });
        EXPECT_TRUE(present) << want.textA << "[" << want.textB << "]";
    }
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(first, report)) << detector.LastError();
    ASSERT_TRUE(detector.OptimizeModel(false));
    CustomParams second;
    ASSERT_TRUE(detector.ConfigureParameters(second));
    ASSERT_EQ(second.valueListEntries.size(), first.valueListEntries.size());
    for (std::size_t i = 0; i < first.valueListEntries.size(); ++i) {
        EXPECT_EQ(second.valueListEntries[i].textA, first.valueListEntries[i].textA);
        EXPECT_EQ(second.valueListEntries[i].wideValues, first.valueListEntries[i].wideValues);
    }
}

// ---- Rules cleared -------------------------------------------------------------------

// An entry without numbers removes its qualifier's rule; rules_clear removes
// every rule the record does not give.
struct ClearCase {
    std::string name;
    std::vector<ValueListEntry> rules;   // in force first
    std::vector<ValueListEntry> edit;    // then the record's rule rows, the others kept
    std::vector<std::string> applied;    // the report, sorted
    std::vector<Cell> camKept, doorKept;  // of kLit on cameras "cam" and "door"
};

// Handgun left of the centre, knife and rifle right of it.
const std::vector<Cell> kLit = {{2, 3, 0}, {4, 3, 2}, {6, 1, 1}};

const ClearCase kClearCases[] = {
    {"LastZoneRow", {Entry("zone_include", "cam", kLeft)}, {Entry("zone_include", "cam", {})},
     {"zone_include"}, kLit, kLit},
    {"OneCameraOfTwo", {Entry("zone_include", "cam", kLeft), Entry("zone_exclude", "door", kLeft)},
     {Entry("zone_include", "cam", {}), Entry("zone_exclude", "door", kLeft)}, {"zone_include"}, kLit,
     {{4, 3, 2}, {6, 1, 1}}},
    {"ClearedCameraBesideAReplacedOne", {Entry("zone_include", "cam", kLeft), Entry("zone_include", "door", kLeft)},
     {Entry("zone_include", "cam", {}), Entry("zone_include", "door", kRight)}, {"zone_include"}, kLit,
     {{4, 3, 2}, {6, 1, 1}}},
    // An emptied row of a camera that keeps another row takes only that polygon.
    {"OnePolygonOfACamera", {Entry("zone_exclude", "cam", kLeft), Entry("zone_exclude", "cam", kRight)},
     {Entry("zone_exclude", "cam", {}), Entry("zone_exclude", "cam", kRight)}, {"zone_exclude"},
     {{2, 3, 0}}, kLit},
    {"OneClassOfTwo", {Entry("class_enabled", "knife", {0}), Entry("class_enabled", "rifle", {0})},
     {Entry("class_enabled", "knife", {}), Entry("class_enabled", "rifle", {0})}, {"class_enabled"},
     {{2, 3, 0}, {4, 3, 2}}, {{2, 3, 0}, {4, 3, 2}}},
    {"ConfirmationOfTheCamera", {Entry("confirm_frames", "cam", {2, 2})}, {Entry("confirm_frames", "cam", {})},
     {"confirm_frames"}, kLit, kLit},
    {"RuleNeverSetChangesNothing", {Entry("zone_include", "cam", kLeft)}, {Entry("zone_exclude", "door", {})},
     {}, {{2, 3, 0}}, kLit},
    {"AllRules",
     {Entry("zone_include", "cam", kLeft), Entry("zone_exclude", "*", kRight), Entry("class_enabled", "knife", {0}),
      Entry("class_threshold", "rifle", {1}), Entry("confirm_frames", "*", {2, 2})},
     {Entry("rules_clear", "", {})},
     {"class_enabled", "class_threshold", "confirm_frames", "zone_exclude", "zone_include"}, kLit, kLit},
    {"AllRulesButThoseGiven",
     {Entry("zone_include", "cam", kLeft), Entry("class_enabled", "knife", {0})},
     {Entry("rules_clear", "", {}), Entry("class_enabled", "rifle", {0})}, {"class_enabled", "zone_include"},
     {{2, 3, 0}, {4, 3, 2}}, {{2, 3, 0}, {4, 3, 2}}},
};

class ClearedRulesTest : public testing::TestWithParam<ClearCase> {};

TEST_P(ClearedRulesTest, AreGoneAndReportedApplied) {
    const ClearCase& c = GetParam();
    KorvaCustomWD detector;
    std::string labels;
    ASSERT_TRUE(detector.Initialize(ModelDir("spot_v8_nc3"), 0.5f, labels));
    Configure(detector, c.rules);
    // Reported before the edit (a first frame for each camera).
    const auto before = Keys(detector.RunInference(SpotFrame(kLit), "cam")).size() +
                        Keys(detector.RunInference(SpotFrame(kLit), "door")).size();
    CustomParams record;
    ASSERT_TRUE(detector.ConfigureParameters(record));
    auto& list = record.valueListEntries;
    const std::vector<std::string> ruleKeys = {"class_threshold", "class_enabled", "zone_include", "zone_exclude",
                                               "confirm_frames"};
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const ValueListEntry& e) {
                                  return std::count(ruleKeys.begin(), ruleKeys.end(), e.textA) != 0;
                              }),
               list.end());
    list.insert(list.end(), c.edit.begin(), c.edit.end());
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(record, report)) << detector.LastError();
    std::vector<std::string> applied;
    for (const auto& change : report.changes) {
        EXPECT_EQ(change.outcome, KorvaCustomWD::ParameterChange::Outcome::kApplied) << change.key;
        applied.push_back(change.key);
    }
    std::sort(applied.begin(), applied.end());
    EXPECT_EQ(applied, c.applied);
    // The first frame: a confirmation rule left would hold everything back.
    EXPECT_EQ(Keys(detector.RunInference(SpotFrame(kLit), "cam")), Keys(c.camKept));
    EXPECT_EQ(Keys(detector.RunInference(SpotFrame(kLit), "door")), Keys(c.doorKept));
    // What was removed had held detections back: they reappear.
    if (!c.applied.empty()) {
        EXPECT_LT(before, c.camKept.size() + c.doorKept.size());
    }
    // The record handed out has no entry without numbers, nor rules_clear.
    CustomParams now;
    ASSERT_TRUE(detector.ConfigureParameters(now));
    for (const ValueListEntry& e : now.valueListEntries) {
        EXPECT_FALSE(e.wideValues.empty()) << e.textA << "[" << e.textB << "]";
    }
}

INSTANTIATE_TEST_SUITE_P(Clearing, ClearedRulesTest, testing::ValuesIn(kClearCases),
                         [](const testing::TestParamInfo<ClearCase>& i) { return i.param.name; });

// A stored class rule is checked against the model Initialize reads: one
// for a class it lacks refuses the load, and the model in use stays.
TEST_F(SpotDetector, StoredRuleForAClassTheNewModelLacksKeepsTheOldModel) {
    CustomParams stored;
    ASSERT_TRUE(detector.ConfigureParameters(stored));
    stored.valueListEntries.push_back(Entry("class_threshold", "knif", {0.8}));
    ASSERT_TRUE(detector.SetParameters(stored));
    std::string labels = "kept";
    EXPECT_FALSE(detector.Initialize(ModelDir("const_v8_nc3"), 0.5f, labels));
    EXPECT_EQ(detector.LastErrorCode(), KorvaErrorCode::kSettingRefused);
    EXPECT_NE(detector.LastError().find("no class named 'knif'"), std::string::npos) << detector.LastError();
    EXPECT_EQ(labels, "kept");
    const std::vector<Cell> cells = {{2, 2, 1}, {5, 5, 2}};
    EXPECT_EQ(Keys(detector.RunInference(SpotFrame(cells), "cam")), Keys(cells));
}

// ---- Refused entries -------------------------------------------------------------------

struct RefusalCase {
    std::string name;
    std::vector<ValueListEntry> entries;
    std::string key;  // refused
};

const RefusalCase kRefusalCases[] = {
    {"UnknownClass", {Entry("class_threshold", "pistol", {0.9})}, "class_threshold"},
    {"ThresholdAboveOne", {Entry("class_threshold", "handgun", {1.5})}, "class_threshold"},
    {"ThresholdTwoValues", {Entry("class_threshold", "handgun", {0.9, 0.9})}, "class_threshold"},
    {"EnabledNotABoolean", {Entry("class_enabled", "handgun", {0.5})}, "class_enabled"},
    {"ZoneTwoPoints", {Entry("zone_include", "cam", {0, 0, 1, 1})}, "zone_include"},
    {"ZoneOutsideTheFrame", {Entry("zone_include", "cam", {0, 0, 1.2, 0, 1, 1})}, "zone_include"},
    {"ZoneOddValues", {Entry("zone_exclude", "cam", {0, 0, 1, 0, 1})}, "zone_exclude"},
    {"ZoneWithoutArea", {Entry("zone_exclude", "cam", {0, 0, 0.5, 0.5, 1, 1})}, "zone_exclude"},
    {"ZoneCrossingItself", {Entry("zone_include", "cam", {0, 0, 1, 1, 1, 0, 0, 0.5})}, "zone_include"},
    // One bad entry refuses the whole record: the good zone is not taken either.
    {"OneBadIncludeRefusesTheRecord",
     {Entry("zone_include", "cam", {0, 0, 0.1, 0, 0.1, 0.1}), Entry("zone_include", "cam", {0, 0})},
     "zone_include"},
    {"SameClassTwice",
     {Entry("class_threshold", "knife", {0.9}), Entry("class_threshold", "knife", {0.95})},
     "class_threshold"},
    {"SameCameraTwice", {Entry("confirm_frames", "cam", {2, 3}), Entry("confirm_frames", "cam", {3, 5})},
     "confirm_frames"},
    {"KAboveN", {Entry("confirm_frames", "cam", {3, 2})}, "confirm_frames"},
    {"KZero", {Entry("confirm_frames", "cam", {0, 3})}, "confirm_frames"},
    {"WindowTooLong", {Entry("confirm_frames", "cam", {2, 65})}, "confirm_frames"},
    {"KNotInteger", {Entry("confirm_frames", "cam", {2.5, 3})}, "confirm_frames"},
    {"IouZero", {Entry("confirm_iou", "", {0})}, "confirm_iou"},
    {"NoCameras", {Entry("confirm_max_cameras", "", {0})}, "confirm_max_cameras"},
    {"ExpiryNegative", {Entry("confirm_expiry_s", "", {-1})}, "confirm_expiry_s"},
};

class RefusedEntryTest : public testing::TestWithParam<RefusalCase> {};

// A refused entry refuses its record, is named in the report and changes
// nothing: the rules in force before stay.
TEST_P(RefusedEntryTest, IsReportedAndChangesNothing) {
    const RefusalCase& c = GetParam();
    KorvaCustomWD detector;
    std::string labels;
    ASSERT_TRUE(detector.Initialize(ModelDir("spot_v8_nc3"), 0.5f, labels));
    Configure(detector, {Entry("zone_exclude", "cam", {0.9, 0.9, 1, 0.9, 1, 1})});
    const std::vector<std::string> refused = Refused(detector, c.entries);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0], c.key);
    EXPECT_FALSE(detector.LastError().empty());
    // The mask in force drops the cell in the corner; everything else is reported.
    const std::vector<Cell> lit = {kA, kB, {0, 0, 1}, {7, 7, 2}};
    for (int frame = 0; frame < 2; ++frame) {
        const auto got = detector.RunInference(SpotFrame(lit), "cam");
        EXPECT_EQ(Keys(got), Keys({kA, kB, {0, 0, 1}})) << Describe(got);
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, RefusedEntryTest, testing::ValuesIn(kRefusalCases),
                         [](const testing::TestParamInfo<RefusalCase>& i) { return i.param.name; });

}  // namespace
