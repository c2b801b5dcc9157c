// Output layout recognition and candidate decoding on hand-built tensors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "decode/CandidateDecoder.h"
#include "decode/OutputLayout.h"

namespace {

using korva::detail::Candidate;
using korva::detail::DecodeCandidates;
using korva::detail::DecodeScratch;
using korva::detail::LayoutKind;
using korva::detail::OutputLayout;
using korva::detail::RecognizeLayout;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- RecognizeLayout -------------------------------------------------------

struct LayoutCase {
    std::string name;
    std::vector<int> shape;
    int nc;
    int inputH, inputW;
    bool ok;
    LayoutKind kind;
    int anchors;
    std::string errorWord;  // expected in the reason when refused
};

class RecognizeLayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(RecognizeLayoutTest, NamesTheLayoutOrWhyNone) {
    const LayoutCase& c = GetParam();
    OutputLayout layout;
    layout.numAnchors = -7;
    std::string error;
    const bool ok = RecognizeLayout(c.shape, c.nc, c.inputH, c.inputW, layout, error);
    ASSERT_EQ(ok, c.ok) << error;
    if (ok) {
        EXPECT_EQ(layout.kind, c.kind);
        EXPECT_EQ(layout.numClasses, c.nc);
        EXPECT_EQ(layout.numAnchors, c.anchors);
    } else {
        std::string shape = "[";
        for (std::size_t i = 0; i < c.shape.size(); ++i) {
            shape += (i ? ", " : "") + std::to_string(c.shape[i]);
        }
        shape += "]";
        EXPECT_NE(error.find(shape), std::string::npos) << error;
        EXPECT_NE(error.find(std::to_string(c.nc) + " classes"), std::string::npos) << error;
        EXPECT_NE(error.find(c.errorWord), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

constexpr LayoutKind kV8 = LayoutKind::kV8;
constexpr LayoutKind kV8T = LayoutKind::kV8Transposed;
constexpr LayoutKind kV5 = LayoutKind::kV5;
constexpr LayoutKind kE2E = LayoutKind::kEndToEnd;

// Grid anchor counts used below: 64 x 64 -> 5, 20, 21, 80, 84, 85 (x3 for
// YOLOv5); 64 x 96 -> 120, 126; 640 x 640 -> 8000, 8400, 8500, 2000, ...
INSTANTIATE_TEST_SUITE_P(
    Shapes, RecognizeLayoutTest,
    testing::Values(LayoutCase{"V8Nc3", {1, 7, 120}, 3, 64, 96, true, kV8, 120, ""},
                    LayoutCase{"V8Nc1", {1, 5, 80}, 1, 64, 64, true, kV8, 80, ""},
                    LayoutCase{"V8Nc80", {1, 84, 8400}, 80, 640, 640, true, kV8, 8400, ""},
                    LayoutCase{"TransposedNc3", {1, 80, 7}, 3, 64, 64, true, kV8T, 80, ""},
                    LayoutCase{"TransposedNc1", {1, 80, 5}, 1, 64, 64, true, kV8T, 80, ""},
                    LayoutCase{"TransposedNc80", {1, 8400, 84}, 80, 640, 640, true, kV8T, 8400, ""},
                    LayoutCase{"V5Nc3", {1, 240, 8}, 3, 64, 64, true, kV5, 240, ""},
                    LayoutCase{"V5Nc1", {1, 240, 6}, 1, 64, 64, true, kV5, 240, ""},
                    LayoutCase{"V5Nc80", {1, 25200, 85}, 80, 640, 640, true, kV5, 25200, ""},
                    LayoutCase{"V8WithoutBatch", {7, 120}, 3, 64, 96, true, kV8, 120, ""},
                    LayoutCase{"V5WithoutBatch", {240, 8}, 3, 64, 64, true, kV5, 240, ""},
                    LayoutCase{"V8ThreeStrides", {1, 7, 126}, 3, 64, 96, true, kV8, 126, ""},
                    LayoutCase{"V8FourStrides", {1, 84, 8500}, 80, 640, 640, true, kV8, 8500, ""},
                    LayoutCase{"V8RunFromStride16", {1, 84, 2100}, 80, 640, 640, true, kV8, 2100, ""},
                    // 650 is no multiple of 32: cells round up (82, 41, 21 per side).
                    LayoutCase{"V8GridRoundsUp", {1, 7, 8846}, 3, 650, 650, true, kV8, 8846, ""},
                    LayoutCase{"V8GridRoundedDownRefused", {1, 7, 8561}, 3, 650, 650, false, kV8, 0,
                               "stride grid"},
                    // Both layouts fit a square output: more anchors than values
                    // would decide, so the tie keeps YOLOv8.
                    LayoutCase{"SquareAmbiguousV8Wins", {1, 84, 84}, 80, 64, 64, true, kV8, 84, ""},
                    LayoutCase{"TransposedFewAnchors", {1, 5, 7}, 3, 64, 64, true, kV8T, 5, ""},
                    // One label too many for a YOLOv5 export has the YOLOv8
                    // transposed width; its anchor count is off that grid.
                    LayoutCase{"V5WithExtraLabel", {1, 25200, 85}, 81, 640, 640, false, kV8, 0,
                               "fits YOLOv5 with 80 classes"},
                    LayoutCase{"SmallV5WithExtraLabel", {1, 240, 8}, 4, 64, 64, false, kV8, 0,
                               "fits YOLOv5 with 3 classes"},
                    LayoutCase{"V8WithExtraLabel", {1, 84, 8400}, 81, 640, 640, false, kV8, 0,
                               "fits YOLOv8 with 80 classes"},
                    LayoutCase{"TransposedWithMissingLabel", {1, 8400, 84}, 79, 640, 640, false, kV8, 0,
                               "fits YOLOv8 transposed with 80 classes"},
                    LayoutCase{"V8OffGrid", {1, 7, 100}, 3, 64, 64, false, kV8, 0, "80, 84 or 85"},
                    LayoutCase{"SingleStrideRefused", {1, 84, 6400}, 80, 640, 640, false, kV8, 0,
                               "stride grid"},
                    LayoutCase{"GridOfAnotherInputSize", {1, 7, 120}, 3, 64, 64, false, kV8, 0,
                               "64 x 64 input"},
                    LayoutCase{"EndToEndTopK", {1, 300, 6}, 80, 640, 640, true, kE2E, 300, ""},
                    LayoutCase{"EndToEndOneClass", {1, 300, 6}, 1, 640, 640, true, kE2E, 300, ""},
                    LayoutCase{"EndToEndTwoClasses", {1, 300, 6}, 2, 640, 640, true, kE2E, 300, ""},
                    LayoutCase{"EndToEndWithoutBatch", {100, 6}, 3, 64, 64, true, kE2E, 100, ""},
                    LayoutCase{"EndToEndOneRow", {1, 1, 6}, 3, 64, 64, true, kE2E, 1, ""},
                    LayoutCase{"OnGridTransposedBeatsEndToEnd", {1, 80, 6}, 2, 64, 64, true, kV8T, 80, ""},
                    LayoutCase{"OnGridV5BeatsEndToEnd", {1, 240, 6}, 1, 64, 64, true, kV5, 240, ""},
                    LayoutCase{"EndToEndWrongWidth", {1, 300, 7}, 80, 640, 640, false, kV8, 0,
                               "6 (end-to-end)"},
                    LayoutCase{"EndToEndChannelFirst", {1, 6, 300}, 80, 640, 640, false, kV8, 0, ""},
                    LayoutCase{"TooFewRows", {1, 6, 80}, 3, 64, 64, false, kV8, 0, "7 values"},
                    LayoutCase{"ClassCountOffByOne", {1, 84, 8400}, 81, 640, 640, false, kV8, 0, ""},
                    LayoutCase{"FourDims", {1, 1, 7, 120}, 3, 64, 96, false, kV8, 0, "3-D"},
                    LayoutCase{"OneDim", {840}, 3, 64, 96, false, kV8, 0, "3-D"},
                    LayoutCase{"BatchOfTwo", {2, 7, 120}, 3, 64, 96, false, kV8, 0, "3-D"},
                    LayoutCase{"NoAnchors", {1, 0, 7}, 3, 64, 64, false, kV8, 0, "empty"},
                    LayoutCase{"NegativeDim", {1, -80, 7}, 3, 64, 64, false, kV8, 0, "empty"},
                    LayoutCase{"UnknownInputSize", {1, 7, 120}, 3, 0, 96, false, kV8, 0, "input size"},
                    LayoutCase{"NoClasses", {1, 4, 80}, 0, 64, 64, false, kV8, 0, "no classes"}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

struct GridCase {
    std::string name;
    int h, w, perCell;
    std::vector<std::int64_t> counts;
};

class GridAnchorCountsTest : public testing::TestWithParam<GridCase> {};

TEST_P(GridAnchorCountsTest, ListsEveryRunOfStrides) {
    const GridCase& c = GetParam();
    EXPECT_EQ(korva::detail::GridAnchorCounts(c.h, c.w, c.perCell), c.counts);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, GridAnchorCountsTest,
    testing::Values(GridCase{"Square64", 64, 64, 1, {5, 20, 21, 80, 84, 85}},
                    GridCase{"Square64ThreePerCell", 64, 64, 3, {15, 60, 63, 240, 252, 255}},
                    GridCase{"Square640", 640, 640, 1, {500, 2000, 2100, 8000, 8400, 8500}},
                    GridCase{"Wide64x96", 64, 96, 1, {8, 30, 32, 120, 126, 128}},
                    GridCase{"OddSizeRoundsUp", 9, 9, 1, {2, 3, 5, 6, 7}},
                    GridCase{"OnePixel", 1, 1, 1, {2, 3, 4}},
                    GridCase{"ZeroHeight", 0, 64, 1, {}},
                    GridCase{"NegativeWidth", 64, -1, 1, {}},
                    GridCase{"NoAnchorsPerCell", 64, 64, 0, {}}),
    [](const testing::TestParamInfo<GridCase>& info) { return info.param.name; });

// ---- DecodeCandidates --------------------------------------------------------

constexpr int kNc = 3;

struct Anchor {
    float cx, cy, w, h;
    std::vector<float> scores;  // kNc class scores
    float objectness = 1.0f;    // v5 only
};

// Lays `anchors` out as `kind` expects.
std::vector<float> Tensor(LayoutKind kind, const std::vector<Anchor>& anchors) {
    const int n = static_cast<int>(anchors.size());
    std::vector<float> out;
    if (kind == LayoutKind::kV8) {
        out.assign(static_cast<std::size_t>(4 + kNc) * n, 0.0f);
        for (int i = 0; i < n; ++i) {
            const Anchor& a = anchors[i];
            const float v[4] = {a.cx, a.cy, a.w, a.h};
            for (int r = 0; r < 4; ++r) out[r * n + i] = v[r];
            for (int c = 0; c < kNc; ++c) out[(4 + c) * n + i] = a.scores[c];
        }
        return out;
    }
    for (const Anchor& a : anchors) {
        out.insert(out.end(), {a.cx, a.cy, a.w, a.h});
        if (kind == LayoutKind::kV5) out.push_back(a.objectness);
        out.insert(out.end(), a.scores.begin(), a.scores.end());
    }
    return out;
}

std::vector<Candidate> Decode(LayoutKind kind, const std::vector<Anchor>& anchors, float threshold) {
    const std::vector<float> data = Tensor(kind, anchors);
    OutputLayout layout;
    layout.kind = kind;
    layout.numClasses = kNc;
    layout.numAnchors = static_cast<int>(anchors.size());
    DecodeScratch scratch;
    std::vector<Candidate> out;
    DecodeCandidates(data.data(), layout, threshold, scratch, out);
    return out;
}

struct Expected {
    int anchor;
    int classId;
    float score;
};

struct DecodeCase {
    std::string name;
    std::vector<Anchor> anchors;  // anchor 0 is a plain valid box, tested too
    float threshold;
    std::vector<Expected> expected;
};

std::string KindName(LayoutKind k) {
    return k == LayoutKind::kV8 ? "V8" : k == LayoutKind::kV8Transposed ? "V8Transposed" : "V5";
}

class DecodeTest : public testing::TestWithParam<std::tuple<LayoutKind, DecodeCase>> {};

TEST_P(DecodeTest, KeepsExactlyTheValidAnchors) {
    const auto& [kind, c] = GetParam();
    std::vector<Anchor> anchors = c.anchors;
    const std::vector<Candidate> got = Decode(kind, anchors, c.threshold);
    ASSERT_EQ(got.size(), c.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Expected& e = c.expected[i];
        const Anchor& a = anchors[static_cast<std::size_t>(e.anchor)];
        EXPECT_EQ(got[i].anchor, e.anchor);
        EXPECT_EQ(got[i].classId, e.classId);
        EXPECT_EQ(got[i].score, e.score);
        EXPECT_EQ(got[i].cx, a.cx);
        EXPECT_EQ(got[i].cy, a.cy);
        EXPECT_EQ(got[i].w, a.w);
        EXPECT_EQ(got[i].h, a.h);
    }
}

const Anchor kGood{10, 20, 30, 40, {0.1f, 0.8f, 0.2f}};

INSTANTIATE_TEST_SUITE_P(
    Layouts, DecodeTest,
    testing::Combine(
        testing::Values(LayoutKind::kV8, LayoutKind::kV8Transposed, LayoutKind::kV5),
        testing::Values(
            DecodeCase{"BestClassChosen", {kGood, {5, 5, 2, 2, {0.6f, 0.3f, 0.7f}}}, 0.5f,
                       {{0, 1, 0.8f}, {1, 2, 0.7f}}},
            DecodeCase{"ScoreEqualToThresholdKept", {kGood, {5, 5, 2, 2, {0.0f, 0.0f, 0.5f}}},
                       0.5f, {{0, 1, 0.8f}, {1, 2, 0.5f}}},
            DecodeCase{"ScoreJustBelowThresholdDropped",
                       {kGood, {5, 5, 2, 2, {0.0f, std::nextafter(0.5f, 0.0f), 0.0f}}}, 0.5f,
                       {{0, 1, 0.8f}}},
            DecodeCase{"ScoreAboveOneRejected", {kGood, {5, 5, 2, 2, {1.5f, 0.0f, 0.0f}}}, 0.5f,
                       {{0, 1, 0.8f}}},
            DecodeCase{"ScoreOneKept", {kGood, {5, 5, 2, 2, {1.0f, 0.0f, 0.0f}}}, 0.5f,
                       {{0, 1, 0.8f}, {1, 0, 1.0f}}},
            DecodeCase{"InfiniteScoreRejected", {kGood, {5, 5, 2, 2, {kInf, 0.0f, 0.0f}}}, 0.5f,
                       {{0, 1, 0.8f}}},
            DecodeCase{"NaNScoreNeverWins", {kGood, {5, 5, 2, 2, {kNaN, kNaN, kNaN}}}, 0.0f,
                       {{0, 1, 0.8f}}},
            DecodeCase{"NaNBesideValidScore", {kGood, {5, 5, 2, 2, {kNaN, 0.6f, kNaN}}}, 0.5f,
                       {{0, 1, 0.8f}, {1, 1, 0.6f}}},
            DecodeCase{"NaNBoxRejected",
                       {kGood, {kNaN, 5, 2, 2, {0.9f, 0, 0}}, {5, 5, 2, kNaN, {0.9f, 0, 0}}},
                       0.5f, {{0, 1, 0.8f}}},
            DecodeCase{"InfiniteBoxRejected",
                       {kGood, {5, kInf, 2, 2, {0.9f, 0, 0}}, {5, 5, kInf, 2, {0.9f, 0, 0}},
                        {5, 5, 2, -kInf, {0.9f, 0, 0}}},
                       0.5f, {{0, 1, 0.8f}}},
            DecodeCase{"EmptyOrNegativeSizeRejected",
                       {kGood, {5, 5, 0, 2, {0.9f, 0, 0}}, {5, 5, 2, 0, {0.9f, 0, 0}},
                        {5, 5, -2, 2, {0.9f, 0, 0}}, {5, 5, 2, -1, {0.9f, 0, 0}}},
                       0.5f, {{0, 1, 0.8f}}},
            DecodeCase{"ZeroThresholdKeepsZeroScores", {{5, 5, 2, 2, {0.0f, 0.0f, 0.0f}}}, 0.0f,
                       {{0, 0, 0.0f}}},
            DecodeCase{"NegativeCoordinatesKept", {{-5, -7, 3, 4, {0.0f, 0.9f, 0.0f}}}, 0.5f,
                       {{0, 1, 0.9f}}})),
    [](const testing::TestParamInfo<std::tuple<LayoutKind, DecodeCase>>& info) {
        return KindName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
    });

// ---- YOLOv5 objectness -------------------------------------------------------

struct V5Case {
    std::string name;
    Anchor anchor;
    float threshold;
    bool kept;
    int classId;
};

class DecodeV5Test : public testing::TestWithParam<V5Case> {};

TEST_P(DecodeV5Test, ScoreIsObjectnessTimesClass) {
    const V5Case& c = GetParam();
    const std::vector<Candidate> got = Decode(LayoutKind::kV5, {c.anchor}, c.threshold);
    ASSERT_EQ(got.size(), c.kept ? 1u : 0u);
    if (c.kept) {
        EXPECT_EQ(got[0].classId, c.classId);
        EXPECT_EQ(got[0].score, c.anchor.objectness * c.anchor.scores[c.classId]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Objectness, DecodeV5Test,
    testing::Values(V5Case{"ProductAboveThreshold", {5, 5, 2, 2, {0.1f, 0.8f, 0.0f}, 0.5f}, 0.3f, true, 1},
                    V5Case{"ProductBelowThreshold", {5, 5, 2, 2, {0.1f, 0.8f, 0.0f}, 0.5f}, 0.5f, false, 0},
                    V5Case{"ClassAloneWouldPass", {5, 5, 2, 2, {0.0f, 0.0f, 0.9f}, 0.4f}, 0.5f, false, 0},
                    V5Case{"ObjectnessOne", {5, 5, 2, 2, {0.0f, 0.0f, 0.9f}, 1.0f}, 0.5f, true, 2},
                    V5Case{"ObjectnessAboveOne", {5, 5, 2, 2, {0.0f, 0.0f, 0.9f}, 3.0f}, 0.5f, false, 0},
                    V5Case{"ClassAboveOne", {5, 5, 2, 2, {0.0f, 2.0f, 0.0f}, 0.4f}, 0.5f, false, 0},
                    V5Case{"ObjectnessNaN", {5, 5, 2, 2, {0.0f, 0.9f, 0.0f}, kNaN}, 0.0f, false, 0},
                    V5Case{"ObjectnessInfinite", {5, 5, 2, 2, {0.0f, 0.9f, 0.0f}, kInf}, 0.5f, false, 0},
                    V5Case{"NegativeObjectness", {5, 5, 2, 2, {0.0f, 0.9f, 0.0f}, -1.0f}, 0.0f, false, 0}),
    [](const testing::TestParamInfo<V5Case>& info) { return info.param.name; });

// ---- End-to-end rows ---------------------------------------------------------

struct EndToEndCase {
    std::string name;
    std::vector<std::vector<float>> rows;  // x1, y1, x2, y2, score, class
    float threshold;
    std::vector<Candidate> expected;       // anchor = row index
};

class DecodeEndToEndTest : public testing::TestWithParam<EndToEndCase> {};

TEST_P(DecodeEndToEndTest, KeepsExactlyTheValidRows) {
    const EndToEndCase& c = GetParam();
    std::vector<float> data;
    for (const auto& row : c.rows) data.insert(data.end(), row.begin(), row.end());
    OutputLayout layout{LayoutKind::kEndToEnd, kNc, static_cast<int>(c.rows.size())};
    ASSERT_EQ(korva::detail::OutputValueCount(layout), data.size());
    DecodeScratch scratch;
    std::vector<Candidate> got;
    DecodeCandidates(data.data(), layout, c.threshold, scratch, got);
    ASSERT_EQ(got.size(), c.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Candidate& e = c.expected[i];
        EXPECT_EQ(got[i].anchor, e.anchor);
        EXPECT_EQ(got[i].classId, e.classId);
        EXPECT_EQ(got[i].score, e.score);
        EXPECT_EQ(got[i].cx, e.cx);
        EXPECT_EQ(got[i].cy, e.cy);
        EXPECT_EQ(got[i].w, e.w);
        EXPECT_EQ(got[i].h, e.h);
    }
}

constexpr float kBig = std::numeric_limits<float>::max();
const std::vector<float> kRow{10, 20, 40, 60, 0.9f, 2};
const Candidate kRowBox{25, 40, 30, 40, 0.9f, 2, 0};

INSTANTIATE_TEST_SUITE_P(
    Rows, DecodeEndToEndTest,
    testing::Values(
        EndToEndCase{"CornersBecomeCentreAndSize", {kRow}, 0.5f, {kRowBox}},
        EndToEndCase{"RowIndexKept",
                     {{0, 0, 0, 0, 0, 0}, kRow, {1, 1, 3, 5, 0.6f, 0}},
                     0.5f, {{25, 40, 30, 40, 0.9f, 2, 1}, {2, 3, 2, 4, 0.6f, 0, 2}}},
        EndToEndCase{"BelowThresholdSkipped", {{1, 1, 3, 5, 0.49f, 0}, kRow}, 0.5f,
                     {{25, 40, 30, 40, 0.9f, 2, 1}}},
        EndToEndCase{"ThresholdItselfKept", {{1, 1, 3, 5, 0.5f, 1}}, 0.5f, {{2, 3, 2, 4, 0.5f, 1, 0}}},
        EndToEndCase{"ScoreAboveOneSkipped", {{1, 1, 3, 5, 1.01f, 1}}, 0.0f, {}},
        EndToEndCase{"ZeroPaddingRowsSkipped", {{0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}}, 0.0f, {}},
        EndToEndCase{"ClassAtCountSkipped", {{1, 1, 3, 5, 0.9f, 3}}, 0.5f, {}},
        EndToEndCase{"NegativeClassSkipped", {{1, 1, 3, 5, 0.9f, -1}}, 0.5f, {}},
        EndToEndCase{"FractionalClassSkipped", {{1, 1, 3, 5, 0.9f, 1.5f}}, 0.5f, {}},
        EndToEndCase{"HugeClassSkipped", {{1, 1, 3, 5, 0.9f, 3e9f}}, 0.5f, {}},
        EndToEndCase{"NaNClassSkipped", {{1, 1, 3, 5, 0.9f, kNaN}}, 0.5f, {}},
        EndToEndCase{"NaNScoreSkipped", {{1, 1, 3, 5, kNaN, 0}}, 0.0f, {}},
        EndToEndCase{"NaNCornerSkipped", {{kNaN, 1, 3, 5, 0.9f, 0}, {1, 1, 3, kNaN, 0.9f, 0}}, 0.5f,
                     {}},
        EndToEndCase{"InfiniteCornerSkipped", {{-kInf, 1, 3, 5, 0.9f, 0}, {1, 1, kInf, 5, 0.9f, 0}},
                     0.5f, {}},
        EndToEndCase{"SwappedCornersSkipped", {{3, 1, 1, 5, 0.9f, 0}, {1, 5, 3, 1, 0.9f, 0}}, 0.5f, {}},
        EndToEndCase{"EmptyBoxSkipped", {{1, 1, 1, 5, 0.9f, 0}}, 0.5f, {}},
        EndToEndCase{"OverflowingSizeSkipped", {{-kBig, 0, kBig, 5, 0.9f, 0}}, 0.5f, {}},
        EndToEndCase{"LargeCornersDoNotOverflowTheCentre", {{kBig / 2, 0, kBig, 4, 0.9f, 0}}, 0.5f,
                     {{kBig * 0.75f, 2, kBig / 2, 4, 0.9f, 0, 0}}},
        EndToEndCase{"NegativeCornersKept", {{-10, -8, -2, -4, 0.9f, 1}}, 0.5f,
                     {{-6, -6, 8, 4, 0.9f, 1, 0}}}),
    [](const testing::TestParamInfo<EndToEndCase>& info) { return info.param.name; });

TEST(DecodeCandidatesScratch, ReusedScratchGivesTheSameResult) {
    // v8 keeps per-anchor state in the scratch; a larger earlier call must
    // not leave stale winners behind.
    DecodeScratch scratch;
    OutputLayout big{LayoutKind::kV8, kNc, 4};
    const std::vector<float> bigData = Tensor(
        LayoutKind::kV8, {kGood, kGood, kGood, kGood});
    std::vector<Candidate> out;
    DecodeCandidates(bigData.data(), big, 0.5f, scratch, out);
    ASSERT_EQ(out.size(), 4u);
    OutputLayout small{LayoutKind::kV8, kNc, 2};
    const std::vector<float> smallData =
        Tensor(LayoutKind::kV8, {{1, 1, 1, 1, {0, 0, 0}}, {1, 1, 1, 1, {0, 0, 0}}});
    out.clear();
    DecodeCandidates(smallData.data(), small, 0.5f, scratch, out);
    EXPECT_TRUE(out.empty());
}

}  // namespace
