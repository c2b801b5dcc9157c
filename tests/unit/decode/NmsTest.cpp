// Intersection over union and class-aware non-maximum suppression.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "decode/Nms.h"

namespace {

using korva::detail::Candidate;
using korva::detail::Iou;
using korva::detail::SuppressNonMaxima;

Candidate Box(float cx, float cy, float w, float h, float score = 0.9f, int cls = 0, int anchor = 0) {
    return {cx, cy, w, h, score, cls, anchor};
}

struct IouCase {
    std::string name;
    Candidate a, b;
    float expected;
};

class IouTest : public testing::TestWithParam<IouCase> {};

TEST_P(IouTest, MatchesTheWorkedValue) {
    const IouCase& c = GetParam();
    EXPECT_NEAR(Iou(c.a, c.b), c.expected, 1e-6f);
    EXPECT_NEAR(Iou(c.b, c.a), c.expected, 1e-6f);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, IouTest,
    testing::Values(IouCase{"Identical", Box(5, 5, 4, 6), Box(5, 5, 4, 6), 1.0f},
                    IouCase{"HalfShifted", Box(1, 1, 2, 2), Box(2, 1, 2, 2), 1.0f / 3.0f},
                    IouCase{"Contained", Box(5, 5, 10, 10), Box(5, 5, 5, 5), 0.25f},
                    IouCase{"Corner", Box(0, 0, 2, 2), Box(1, 1, 2, 2), 1.0f / 7.0f},
                    IouCase{"TouchingEdges", Box(0, 0, 2, 2), Box(2, 0, 2, 2), 0.0f},
                    IouCase{"Disjoint", Box(0, 0, 2, 2), Box(10, 10, 2, 2), 0.0f},
                    IouCase{"ManifestAC", Box(30, 20, 20, 10), Box(31, 20, 20, 10), 190.0f / 210.0f},
                    IouCase{"EmptyBox", Box(5, 5, 0, 0), Box(5, 5, 4, 4), 0.0f},
                    IouCase{"ZeroWidthOverlap", Box(5, 5, 0, 4), Box(5, 5, 4, 4), 0.0f}),
    [](const testing::TestParamInfo<IouCase>& info) { return info.param.name; });

// Indices kept, as a plain vector for comparisons.
std::vector<std::size_t> Kept(const std::vector<Candidate>& c, float iou = 0.45f,
                              std::size_t max = korva::detail::kMaxDetections) {
    return SuppressNonMaxima(c, iou, max);
}

using Indices = std::vector<std::size_t>;

// Two 10x10 boxes shifted by `d` overlap with IoU (10 - d) / (10 + d).
std::vector<Candidate> ShiftedPair(float d, int clsA = 0, int clsB = 0) {
    return {Box(0, 0, 10, 10, 0.9f, clsA, 0), Box(d, 0, 10, 10, 0.8f, clsB, 1)};
}

TEST(Nms, SameClassOverlapAboveThresholdSuppressed) {
    EXPECT_EQ(Kept(ShiftedPair(3)), (Indices{0}));  // IoU 0.538
    EXPECT_EQ(Kept(ShiftedPair(0)), (Indices{0}));  // identical
}

TEST(Nms, SameClassOverlapAtOrBelowThresholdKept) {
    EXPECT_EQ(Kept(ShiftedPair(4)), (Indices{0, 1}));  // IoU 0.429
    const std::vector<Candidate> pair = ShiftedPair(3);
    const float iou = Iou(pair[0], pair[1]);
    EXPECT_EQ(Kept(pair, iou), (Indices{0, 1})) << "IoU equal to the threshold must be kept";
    EXPECT_EQ(Kept(pair, std::nextafter(iou, 0.0f)), (Indices{0}));
}

TEST(Nms, DifferentClassesNeverSuppressEachOther) {
    EXPECT_EQ(Kept(ShiftedPair(0, 0, 1)), (Indices{0, 1}));
    EXPECT_EQ(Kept(ShiftedPair(0, 2, 1), 0.0f), (Indices{0, 1}));
}

TEST(Nms, OnlyKeptBoxesSuppress) {
    // B overlaps A and C; A removes B, so C (disjoint from A) survives.
    const std::vector<Candidate> c = {Box(0, 0, 10, 10, 0.9f, 0, 0), Box(3, 0, 10, 10, 0.8f, 0, 1),
                                      Box(6, 0, 10, 10, 0.7f, 0, 2)};
    // IoU(A, C) = 4/16 = 0.25.
    EXPECT_EQ(Kept(c), (Indices{0, 2}));
}

TEST(Nms, OrderedByScoreThenAnchor) {
    // Disjoint boxes in scrambled order, with ties on the score.
    std::vector<Candidate> c;
    const float scores[] = {0.5f, 0.9f, 0.7f, 0.9f, 0.5f, 0.95f};
    const int anchors[] = {4, 7, 2, 3, 1, 9};
    for (int i = 0; i < 6; ++i) c.push_back(Box(20.0f * i, 0, 10, 10, scores[i], 0, anchors[i]));
    EXPECT_EQ(Kept(c), (Indices{5, 3, 1, 2, 4, 0}));

    // The same set in every rotation gives the same boxes in the same order.
    for (int r = 1; r < 6; ++r) {
        std::vector<Candidate> rotated = c;
        std::rotate(rotated.begin(), rotated.begin() + r, rotated.end());
        std::vector<int> anchorOrder;
        for (std::size_t i : Kept(rotated)) anchorOrder.push_back(rotated[i].anchor);
        EXPECT_EQ(anchorOrder, (std::vector<int>{9, 3, 7, 2, 1, 4})) << "rotation " << r;
    }
}

TEST(Nms, TieBreakDecidesWhichOverlappingBoxSurvives) {
    std::vector<Candidate> c = {Box(0, 0, 10, 10, 0.8f, 0, 5), Box(1, 0, 10, 10, 0.8f, 0, 2)};
    EXPECT_EQ(Kept(c), (Indices{1}));
    std::swap(c[0], c[1]);
    EXPECT_EQ(Kept(c), (Indices{0}));
}

TEST(Nms, CapsTheNumberOfDetectionsKeepingTheBest) {
    std::vector<Candidate> c;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> score(0.0f, 1.0f);
    for (int i = 0; i < 500; ++i) c.push_back(Box(20.0f * i, 0, 10, 10, score(rng), i % 3, i));
    const Indices all = Kept(c, 0.45f, 1000);
    ASSERT_EQ(all.size(), 500u);

    const Indices capped = Kept(c);
    ASSERT_EQ(capped.size(), korva::detail::kMaxDetections);
    EXPECT_TRUE(std::equal(capped.begin(), capped.end(), all.begin()));
    EXPECT_EQ(Kept(c, 0.45f, 5), Indices(all.begin(), all.begin() + 5));
    EXPECT_TRUE(Kept(c, 0.45f, 0).empty());
    EXPECT_TRUE(Kept({}).empty());
}

}  // namespace
